#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ProbeDescriptor;

// What one registration of probe classes produced: the probes built, the error messages (each a whole
// "Error: ..." line), the classes examined and the inner classes they declare. A registration commits
// all or nothing: a result that holds an error destroys every probe in it when it is destroyed, and one
// without errors leaves its probes to the registry that took them.
class ProbeCreationResult {
 public:
  ProbeCreationResult() = default;
  ~ProbeCreationResult();
  ProbeCreationResult(const ProbeCreationResult&) = delete;
  ProbeCreationResult& operator=(const ProbeCreationResult&) = delete;

  // "Error: " + text.
  void addError(const YString& text);
  // "Error: probe class <class>: <text>".
  void addClassError(const YString& className, const YString& text);
  // "Error: probe class <class>, method <method>: <text>".
  void addMethodError(const YString& className, const YString& methodName, const YString& text);
  // "Error: probe class <class>, method <method>, parameter #<position + 1>: <text>".
  void addParameterError(const YString& className, const YString& methodName, int32_t position,
                         const YString& text);

  bool isSuccessful() const { return errors.size == 0; }
  // The errors joined by "\n", none at the end; empty without errors.
  YString getErrorsText() const;
  // The examined classes joined by ", ".
  YString getClassNamesText() const;
  // Logs "warning: missing inner class: <name>" for each declared inner class that was not examined.
  void warnMissingInnerClasses() const;

  YVector<ProbeDescriptor*> probes;
  YVectorSafe<YString> errors;
  YVectorSafe<YString> examinedClasses;       // Java form
  YVectorSafe<YString> declaredInnerClasses;  // Java form
};

// Logs what a committed registration registered: "Successfully registered probes: <n>" and a
// "  Registered: <name>" line per probe name (built-in probes by ".<simple name>"), and with the debug
// category "bci" a "    class: <name>" line for every class registered under each name.
void reportProbeCreationResult(const ProbeCreationResult& result);
