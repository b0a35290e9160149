// Arbitrary bytes as a start-up option string, as a hostile environment variable could give it: every
// token is classified, unquoted, macro-expanded and read as a number, and a temporary store runs the
// early pass and answers every query. Nothing may fail; the checks below hold for every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "agent/core/OptionString.h"
#include "agent/core/Options.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
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
  return 0;
}
