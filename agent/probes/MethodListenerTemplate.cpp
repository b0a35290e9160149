#include "agent/probes/MethodListenerTemplate.h"

#include <cstdint>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/core/CallbackJarData.h"
#include "agent/core/Options.h"
#include "agent/support/FileUtils.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

constexpr const char* TEMPLATE_CLASS_FILE = "/com/brantel/probes/triggers/MethodListenerProbe.class";

}  // namespace

jbyteArray loadMethodListenerTemplate(JNIEnv* env, jobjectArray macroAndValuePairs) {
  if (macroAndValuePairs == nullptr) {
    throwRuntimeException(env, "macroAndValuePairs is null");
    return nullptr;
  }
  YVector<YString> elements;
  jstringArrayToVector(env, macroAndValuePairs, &elements);
  YVector<YString> macros;
  YVector<YString> values;
  for (int32_t i = 0; i + 1 < elements.size; i += 2) {
    macros.add(elements[i]);
    values.add(elements[i + 1]);
  }

  YVector<uint8_t> bytes(methodListenerTemplateSize);
  const YString directory = globalOptions().getStringOption("_agent_cp");
  if (directory.length == 0) {
    bytes.addRange(methodListenerTemplateBytes, methodListenerTemplateSize);
  } else {
    // A replaced Java side must bring its own template: the built-in one may not fit its classes.
    const YString path = directory + TEMPLATE_CLASS_FILE;
    readFileBytes(path, &bytes);
    if (bytes.size == 0) {
      const YString message = YString("method listener template is missing or empty: ") + path;
      logMessage(YString("error: ") + message);
      throwRuntimeException(env, message.data);
      return nullptr;
    }
  }

  DataInput in(bytes);
  ClassFile classFile(in);
  if (classFile.isParseFailed()) {
    throwRuntimeException(env, "method listener template is invalid");
    return nullptr;
  }
  classFile.replaceUtf8Text(macros, values);
  classFile.processTemplateMethods();
  YVector<uint8_t> patched(bytes.size + 256);
  DataOutput out(patched);
  classFile.write(out);
  return newByteArray(env, patched.data, patched.size);
}
