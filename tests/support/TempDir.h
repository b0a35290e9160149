#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "agent/platform/Directories.h"

// A new, empty directory under the system temporary directory, removed with everything in it when the
// object goes. Paths are UTF-8 with the platform's separator.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; attempt++) {
      const std::string candidate =
          std::string(getTempDir().data) + "tallyscope-test-" + std::to_string(random()) + std::to_string(random());
      if (std::filesystem::create_directory(std::filesystem::u8path(candidate))) {
        root = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary directory");
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(root), ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return root; }

  // `relative` in the directory; "/" in it becomes the platform's separator.
  std::string pathOf(std::string relative) const {
    for (char& c : relative) c = c == '/' ? pathSeparator : c;
    return root + pathSeparator + relative;
  }

  // Writes a file with exactly these bytes, making its parent directories, and gives its path.
  std::string write(const std::string& relative, const std::string& contents) const {
    const std::string file = pathOf(relative);
    std::filesystem::create_directories(std::filesystem::u8path(file).parent_path());
    std::ofstream(std::filesystem::u8path(file), std::ios::binary) << contents;
    return file;
  }

 private:
  std::string root;
};
