#pragma once

#include <memory>

#include "agent/classfile/MethodInfo.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/YString.h"

// The parameters of one probe callback (onEnter, onReturn, onUncaughtException or onExit) from its
// descriptor and parameter annotations, each checked against its callback and the probe class. Errors
// go to `result` as parameter errors of `className` (Java form) and the callback's name, or, for the
// missing @ThrownException of a discarding probe, as a method error. `instanceOf` (internal form) is the
// probe's type of `this`: the first @This sets it when it is empty, later ones must agree; `hasInstanceOf`
// tells that the class carries @InstanceOf, whose @This parameters must be java.lang.Object.
//
// Null for a null callback, and whenever `result` holds an error after the call, earlier callbacks'
// errors included.
std::unique_ptr<CallbackParameterList> parseCallbackParameters(const YString& className, const MethodInfo* callback,
                                                               const MethodInfo* onEnter, YString& instanceOf,
                                                               bool hasInstanceOf, ProbeCreationResult& result,
                                                               bool discardThrownException);
