#include "agent/probes/ProbeCreationResult.h"

#include "agent/core/Options.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/Log.h"

namespace {

YString joined(const YVectorSafe<YString>& texts, const char* separator) {
  YString text;
  for (int32_t i = 0; i < texts.size; i++) {
    if (i > 0) text.append(separator);
    text.append(texts[i]);
  }
  return text;
}

}  // namespace

ProbeCreationResult::~ProbeCreationResult() {
  if (!isSuccessful()) probes.deleteElements();
}

void ProbeCreationResult::addError(const YString& text) { errors.add(YString("Error: ") + text); }

void ProbeCreationResult::addClassError(const YString& className, const YString& text) {
  errors.add(YString("Error: probe class ") + className + ": " + text);
}

void ProbeCreationResult::addMethodError(const YString& className, const YString& methodName, const YString& text) {
  errors.add(YString("Error: probe class ") + className + ", method " + methodName + ": " + text);
}

void ProbeCreationResult::addParameterError(const YString& className, const YString& methodName, int32_t position,
                                            const YString& text) {
  errors.add(YString("Error: probe class ") + className + ", method " + methodName + ", parameter #" +
             YString(int64_t(position) + 1) + ": " + text);
}

YString ProbeCreationResult::getErrorsText() const { return joined(errors, "\n"); }

YString ProbeCreationResult::getClassNamesText() const { return joined(examinedClasses, ", "); }

void ProbeCreationResult::warnMissingInnerClasses() const {
  for (int32_t i = 0; i < declaredInnerClasses.size; i++) {
    if (examinedClasses.indexOf(declaredInnerClasses[i]) < 0) {
      logMessage(YString("warning: missing inner class: ") + declaredInnerClasses[i]);
    }
  }
}

void reportProbeCreationResult(const ProbeCreationResult& result) {
  YVector<TopProbe*> owners;
  for (int32_t i = 0; i < result.probes.size; i++) {
    TopProbe* owner = result.probes[i]->owner;
    bool seen = false;
    for (int32_t k = 0; k < owners.size && !seen; k++) seen = owners[k] == owner;
    if (!seen) owners.add(owner);
  }
  static const bool listClasses = globalOptions().isDebug("bci");
  YString text = YString("Successfully registered probes: ") + YString(int64_t(owners.size));
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeCreationResult:report");
  for (int32_t i = 0; i < owners.size; i++) {
    text.append(YString("\n  Registered: ") + shortenBuiltinProbeName(owners[i]->name.replaceAll(".", "/")));
    if (!listClasses) continue;
    for (int32_t k = 0; k < owners[i]->descriptors.size; k++) {
      text.append(YString("\n    class: ") + shortenBuiltinProbeName(owners[i]->descriptors[k]->className));
    }
  }
  logMessage(text.replaceAll("/", "."));
}
