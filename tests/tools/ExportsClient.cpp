// Loads the shared library with dlopen, as the host's tools do without a JVM, and calls its exported
// plain functions:
//   exports_client <library> roundtrip <key>       prints what each registry function answered
//   exports_client <library> process <pid>|self    prints the process's bitness and the administrator test
//   exports_client <library> hammer <key> <tag> <count>
//       writes "<tag>-<i>" to the value "shared" and to the value "<tag>" count times, reading "shared"
//       back after each write; prints "torn <text>" for a text that is no whole write, then "done".
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using GetString = char16_t* (*)(int32_t, const char16_t*, const char16_t*, int32_t);
using GetInt = int32_t (*)(const char16_t*, const char16_t*, int32_t);
using CreateKey = int32_t (*)(const char16_t*, int32_t);
using SetString = void (*)(const char16_t*, const char16_t*, const char16_t*, int32_t);
using SetInt = void (*)(const char16_t*, const char16_t*, int32_t, int32_t);
using DeleteValue = int32_t (*)(const char16_t*, const char16_t*, int32_t);
using ProcessQuery = int32_t (*)(int32_t);
using Query = int32_t (*)();

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string narrow(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; text++) out += char(*text);
  return out;
}

template <class F>
F symbol(void* library, const char* name) {
  void* found = dlsym(library, name);
  if (found == nullptr) {
    std::fprintf(stderr, "missing %s\n", name);
    std::exit(3);
  }
  return reinterpret_cast<F>(found);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: exports_client <library> roundtrip|process|hammer <argument> ...\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 3;
  }
  const std::string command = argv[2];
  if (command == "process") {
    const int32_t pid = std::string(argv[3]) == "self" ? int32_t(getpid()) : std::atoi(argv[3]);
    std::printf("bitness %d\n", symbol<ProcessQuery>(library, "getProcessBitnessImpl")(pid));
    std::printf("administrator %d\n", symbol<Query>(library, "isAdministratorImpl")());
    return 0;
  }
  const auto getString = symbol<GetString>(library, "getWinRegStringValueImpl");
  const auto getInt = symbol<GetInt>(library, "getWinRegIntValueImpl");
  const auto createKey = symbol<CreateKey>(library, "createWinRegKeyImpl");
  const auto setString = symbol<SetString>(library, "setWinRegStringValueImpl");
  const auto setInt = symbol<SetInt>(library, "setWinRegIntValueImpl");
  const auto deleteValue = symbol<DeleteValue>(library, "deleteWinRegValueImpl");
  const std::u16string key = wide(argv[3]);

  if (command == "roundtrip") {
    std::printf("create %d\n", createKey(key.c_str(), 1));
    setString(key.c_str(), u"text", u"h\u00e9llo", 1);
    setInt(key.c_str(), u"number", -7, 1);
    char16_t* text = getString(3, key.c_str(), u"text", 1);
    std::printf("text %s\n", text != nullptr && text[1] == 0xe9 && narrow(text + 2) == "llo" ? "h\u00e9llo" : "?");
    std::free(text);
    std::printf("number %d\n", getInt(key.c_str(), u"number", 1));
    std::printf("delete %d\n", deleteValue(key.c_str(), u"number", 1));
    std::printf("number %d\n", getInt(key.c_str(), u"number", 1));
    return 0;
  }
  if (command == "hammer" && argc == 6) {
    const std::string tag = argv[4];
    const int count = std::atoi(argv[5]);
    createKey(key.c_str(), 1);
    for (int i = 0; i < count; i++) {
      const std::u16string value = wide(tag + "-" + std::to_string(i));
      setString(key.c_str(), u"shared", value.c_str(), 1);
      setString(key.c_str(), wide(tag).c_str(), value.c_str(), 1);
      char16_t* read = getString(3, key.c_str(), u"shared", 1);
      const std::string seen = narrow(read);
      std::free(read);
      const size_t dash = seen.find('-');
      if (dash == std::string::npos || dash == 0 || seen.find_first_not_of("0123456789", dash + 1) != std::string::npos ||
          dash + 1 == seen.size()) {
        std::printf("torn %s\n", seen.c_str());
      }
    }
    std::printf("done\n");
    return 0;
  }
  std::fprintf(stderr, "unknown command %s\n", argv[2]);
  return 2;
}
