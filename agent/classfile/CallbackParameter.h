#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// One parameter of a probe callback, as its descriptor and its parameter annotations give it: which
// value of the probed call the weaver passes in it.
struct CallbackParameter {
  // The kinds, by the probe annotation on the parameter.
  static constexpr int32_t KIND_PARAM = 0;  // @Param: an argument of the probed call, by `index`
  static constexpr int32_t KIND_PARAMS = 1;
  static constexpr int32_t KIND_THIS = 2;
  static constexpr int32_t KIND_RETURN_VALUE = 3;
  static constexpr int32_t KIND_THROWN_EXCEPTION = 4;
  static constexpr int32_t KIND_ON_ENTER_RESULT = 5;
  static constexpr int32_t KIND_METHOD_TIME_MS = 6;
  static constexpr int32_t KIND_METHOD_NAME = 7;
  static constexpr int32_t KIND_METHOD_SIGNATURE = 8;
  static constexpr int32_t KIND_METHOD_PARAMETER_TYPES = 9;
  static constexpr int32_t KIND_CLASS_REF = 10;
  static constexpr int32_t KIND_NONE = 11;      // no probe annotation
  static constexpr int32_t KIND_SEVERAL = 12;   // more than one of the kinds above

  YString type;  // the parameter's type descriptor: J, Ljava/lang/String;, [Ljava/lang/Object; ...
  int32_t kind = KIND_NONE;
  int32_t index = -1;  // the value of @Param; -1 without it
  bool out = false;    // @Out is present as well
};
