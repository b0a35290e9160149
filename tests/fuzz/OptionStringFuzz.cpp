// Arbitrary bytes as a start-up option string, as a hostile environment variable could give it: every
// token is classified, unquoted, macro-expanded and read as a number, and a temporary store runs the
// early pass and answers every query. The main pass then runs twice: as the host's check, which must
// change nothing outside its store, and as at start-up, applying on a store of its own, which must come
// to the same verdict. Nothing may fail; the checks below hold for every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "agent/core/AgentFlags.h"
#include "agent/core/OptionString.h"
#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/support/Log.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

// The main pass, checking and then applying; what applying changes in the process is put back.
void mainPasses(const YString& text, const YVector<YString>& arguments) {
  const uint64_t agent = agentFlags.load();
  const uint64_t profiling = profilingFlags.load();
  const int32_t probeModes = startupProbeModes().keys.size;
  const YString verdict = validateStartupOptions(text);
  require(agentFlags.load() == agent && profilingFlags.load() == profiling &&
          startupProbeModes().keys.size == probeModes);
  require(verdict.equals(validateStartupOptions(text)));

  Options store(arguments);
  uint64_t flags = AGENT_FLAGS_INITIAL | AGENT_HEAP_SAMPLING | AGENT_COMPILED_METHOD_EVENTS;
  YString error;
  store.parse(error, text, flags, true);
  require(error.equals(verdict));
  profilingFlags.store(profiling);
  startupProbeModes().keys = YVectorSafe<YString>();
  startupProbeModes().values = YVectorSafe<PROBE_ACTIVITY_MODE>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const LogSink previous = setLogSink(&discard);
  (void)previous;
  YString text;
  for (size_t i = 0; i < size; i++) text.append(char(bytes[i]));

  YVector<YString> tokens;
  splitOptionString(text, tokens);
  for (int32_t i = 0; i < tokens.size; i++) {
    const YString& token = tokens[i];
    require(token.length > 0 && token.indexOf(",") < 0);
    const OptionToken classified = classifyOptionToken(token);
    require(classified.value.length <= token.length);
    const YString unquoted = unquoteOptionValue(token);
    require(unquoted.length <= token.length);
    expandOptionMacros(token);
    const OptionNumber number = readOptionNumber(token);
    require(number.valid || number.value == 0);
    require(number.value >= INT32_MIN && number.value <= INT32_MAX);
  }

  YVector<YString> arguments;
  arguments.add(YString("java"));
  arguments.add(YString("p.Main"));
  Options options(arguments);
  options.readLogOptions(text);
  options.hasOption("_cf4");
  options.getIntOption("_page_size", 7);
  options.getStringOption("_agent_cp");
  options.isDebug("bci");
  mainPasses(text, arguments);
  return 0;
}
