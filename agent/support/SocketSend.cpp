#include "agent/support/SocketSend.h"

#include <atomic>

#include "agent/support/Log.h"

namespace {

constexpr int32_t defaultTimeoutMs = 30000;

std::atomic<int32_t (*)()>& timeoutSource() {
  static std::atomic<int32_t (*)()> source{nullptr};
  return source;
}

// Read on the first wait of the process, which also logs it; later changes of the options do not count.
int32_t sendTimeoutMs() {
  static const int32_t timeoutMs = [] {
    int32_t (*const source)() = timeoutSource().load();
    int32_t value = source != nullptr ? source() : -1;
    if (value < 0) value = defaultTimeoutMs;
    logMessage(YString("y_send: select() timeout threshold: ") + YString(int64_t(value)) + " ms");
    return value;
  }();
  return timeoutMs;
}

}  // namespace

void setSocketTimeoutSource(int32_t (*source)()) { timeoutSource().store(source); }

bool y_send(SocketHandle socket, const void* data, int32_t length) {
  static std::atomic<bool> zeroLogged(false);
  if (length < 0) return false;
  const char* bytes = static_cast<const char*>(data);
  int32_t sent = 0;
  while (sent < length) {
    const SocketSendResult result = sendOnSocket(socket, bytes + sent, length - sent);
    if (result.error != 0) {
      logMessage(YString("error: y_send: send() failed: ") + getWindowsErrorText(result.error));
      return false;
    }
    if (result.sent > 0) {
      sent += result.sent;
      continue;
    }
    if (!result.wouldBlock && !zeroLogged.exchange(true)) logMessage(YString("y_send: send() returned zero"));
    int32_t error = 0;
    const int32_t ready = waitUntilSocketWritable(socket, sendTimeoutMs(), error);
    if (ready > 0) continue;
    if (ready < 0) {
      logMessage(YString("error: y_send: select() returned ") + YString(int64_t(ready)) + ": " +
                 getWindowsErrorText(error));
    } else {
      logMessage(YString("error: y_send: select() timeout expired"));
    }
    return false;
  }
  return true;
}

YString describeBindableIpStacks(bool ipv4Installed, bool ipv6Installed, int32_t port) {
  YString text;
  if (ipv4Installed) {
    if (!canBindIPv4(port, true)) text.append("IPv4(lb) ");
    if (!canBindIPv4(port, false)) text.append("IPv4 ");
  }
  if (ipv6Installed) {
    if (!canBindIPv6(port, true)) text.append("IPv6(dual) ");
    if (!canBindIPv6(port, false)) text.append("IPv6 ");
  }
  return text.trim();
}
