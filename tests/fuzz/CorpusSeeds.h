#pragma once

#include <filesystem>
#include <system_error>

// Writes a target's own seeds, once, into a "seeds" folder of the first corpus folder among libFuzzer's
// arguments: libFuzzer reads its corpus folders recursively.
template <class Write>
void seedFirstCorpusFolder(int argc, char** argv, Write write) {
  for (int i = 1; i < argc; i++) {
    const std::filesystem::path directory(argv[i]);
    std::error_code error;
    if (argv[i][0] != '-' && std::filesystem::is_directory(directory, error) &&
        !std::filesystem::exists(directory / "seeds", error)) {
      write(directory / "seeds");
      return;
    }
  }
}
