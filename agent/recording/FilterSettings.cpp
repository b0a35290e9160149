#include "agent/recording/FilterSettings.h"

#include "agent/core/AgentFlags.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/SamplingSettings.h"
#include "agent/recording/TracingSettings.h"
#include "agent/support/YVector.h"

YString loadFilterSettings(uint64_t mode, const YString* text) {
  const YVector<YString> noLines;
  const uint64_t cpuMode = mode & PROFILING_CPU_MODE_MASK;
  if (cpuMode == PROFILING_CALL_COUNTING) {
    setGlobalFilters(&noLines);
    return YString();
  }
  if (cpuMode == PROFILING_CPU_TRACING) {
    YString used = getTracingSettingsText(text);
    initTracingSettings(tracingSettings, used);
    setGlobalFilters(&tracingSettings.wallTimePatterns);
    return used;
  }
  YString used = getSamplingSettingsText(text);
  samplingSettings.load(used);
  setGlobalFilters((mode & PROFILING_SAMPLING_MODE_MASK) == PROFILING_SAMPLING_ASYNC_CPU ? &noLines : &samplingSettings.wallTimePatterns);
  return used;
}
