#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "agent/support/Log.h"

// Collects the log entries written while it lives, in place of every other output.
class LogCapture {
 public:
  LogCapture() {
    clear();
    previous = setLogSink(&record);
  }
  ~LogCapture() { setLogSink(previous); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> entries() const {
    std::lock_guard<std::mutex> guard(mutex());
    return store();
  }

 private:
  static void record(const YString& entry) {
    std::lock_guard<std::mutex> guard(mutex());
    store().emplace_back(entry.data, size_t(entry.length));
  }
  static void clear() {
    std::lock_guard<std::mutex> guard(mutex());
    store().clear();
  }
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  static std::vector<std::string>& store() {
    static std::vector<std::string> instance;
    return instance;
  }

  LogSink previous;
};
