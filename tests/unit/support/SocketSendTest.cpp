#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "agent/support/SocketSend.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t tenMegabytes = 10 * 1024 * 1024;

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// y_send of the bytes while a client reads them slowly on another thread; what the client got.
std::string sendToSlowClient(loopback::Connection& connection, const std::string& bytes, bool& sent) {
  auto client = std::async(std::launch::async, [&] { return connection.receive(bytes.size(), 65536, 1ms); });
  sent = y_send(connection.sender(), bytes.data(), int32_t(bytes.size()));
  return client.get();
}

#ifndef _WIN32
size_t countOf(const std::vector<std::string>& entries, const std::string& entry) {
  return size_t(std::count(entries.begin(), entries.end(), entry));
}
#endif

// A port nobody holds at the moment: one the system just handed out and took back.
int32_t freePort() {
  loopback::Listener listener;
  return listener.port();
}

}  // namespace

// --- y_send

TEST(YSend, TenMegabytesThroughTinyBuffersToASlowClientArriveWholeAndInOrder) {
  loopback::Connection connection(4096, 4096);
  const std::string bytes = loopback::numberedBytes(tenMegabytes);
  LogCapture log;
  bool sent = false;
  const std::string received = sendToSlowClient(connection, bytes, sent);
  EXPECT_TRUE(sent);
  ASSERT_EQ(received.size(), bytes.size());
  EXPECT_TRUE(received == bytes);
  for (const std::string& entry : log.entries()) EXPECT_FALSE(startsWith(entry, "error: ")) << entry;
}

TEST(YSend, NothingToSendSucceedsAtOnceAndANegativeLengthIsRefused) {
  loopback::Connection connection(0, 0);
  const char byte = 'x';
  EXPECT_TRUE(y_send(connection.sender(), &byte, 0));
  EXPECT_FALSE(y_send(connection.sender(), &byte, -1));
  EXPECT_EQ(connection.drain(100ms), "");
}

// The process must survive: no SIGPIPE.
TEST(YSend, AClientThatWentAwayMakesTheSendFailWithTheSystemsReason) {
  loopback::Connection connection(4096, 4096);
  connection.closeReceiver();
  const std::string bytes(tenMegabytes, 'x');
  LogCapture log;
  EXPECT_FALSE(y_send(connection.sender(), bytes.data(), int32_t(bytes.size())));
  const std::vector<std::string> entries = log.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_TRUE(startsWith(entries.back(), "error: y_send: send() failed: ")) << entries.back();
  EXPECT_NE(entries.back().find(" (code "), std::string::npos) << entries.back();
}

TEST(YSend, AHandleThatIsNoSocketFailsAndIsLogged) {
  [[maybe_unused]] loopback::Session session;
  const char byte = 'x';
  LogCapture log;
  EXPECT_FALSE(y_send(SocketHandle(-1), &byte, 1));
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(startsWith(entries[0], "error: y_send: send() failed: ")) << entries[0];
}

#ifndef _WIN32
TEST(YSend, WithoutATimeOutOptionEachWaitMayLastThirtySeconds) {
  inFreshProcess([] {
    HiddenOption timeout("_socket_timeout_ms=-5");
    loopback::Connection connection(4096, 4096);
    const std::string bytes = loopback::numberedBytes(1024 * 1024);
    LogCapture log;
    bool sent = false;
    const std::string received = sendToSlowClient(connection, bytes, sent);
    if (!sent || received != bytes) return std::string("the reply did not arrive whole");
    if (countOf(log.entries(), "y_send: select() timeout threshold: 30000 ms") != 1) {
      return std::string("the threshold was not logged once as 30000 ms");
    }
    return std::string();
  });
}

TEST(YSend, AClientThatStopsReadingEndsTheSendAfterTheTimeOut) {
  inFreshProcess([] {
    HiddenOption timeout("_socket_timeout_ms=200");
    loopback::Connection connection(4096, 4096);
    const std::string bytes = loopback::numberedBytes(tenMegabytes);
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    if (y_send(connection.sender(), bytes.data(), int32_t(bytes.size()))) return std::string("the send succeeded");
    const auto took = std::chrono::steady_clock::now() - start;
    const std::vector<std::string> entries = log.entries();
    if (entries != std::vector<std::string>{"y_send: select() timeout threshold: 200 ms",
                                            "error: y_send: select() timeout expired"}) {
      std::string all;
      for (const std::string& entry : entries) all += entry + "\n";
      return "unexpected log:\n" + all;
    }
    if (took < 190ms) return std::string("the wait was shorter than the time-out");
    const std::string received = connection.drain(200ms);
    if (received.empty() || received.size() >= bytes.size() || bytes.compare(0, received.size(), received) != 0) {
      return std::string("the client did not get a proper beginning of the bytes");
    }
    return std::string();
  });
}
#endif

// --- describeBindableIpStacks

TEST(BindableIpStacks, AFreePortIsBindableOnEveryInstalledStack) {
  const InstalledIpProtocols installed = detectInstalledIpProtocols();
  EXPECT_STREQ(describeBindableIpStacks(installed.ipv4, installed.ipv6, freePort()).data, "");
}

TEST(BindableIpStacks, APortHeldAtTheLoopbackAddressIsNamed) {
  const InstalledIpProtocols installed = detectInstalledIpProtocols();
  loopback::Listener holder;
  const std::string text = describeBindableIpStacks(installed.ipv4, installed.ipv6, holder.port()).data;
  EXPECT_TRUE(startsWith(text, "IPv4(lb)")) << text;
#ifndef _WIN32
  EXPECT_EQ(text, installed.ipv6 ? "IPv4(lb) IPv4 IPv6(dual)" : "IPv4(lb) IPv4");
#endif
}

TEST(BindableIpStacks, StacksThatAreNotInstalledAreNotTried) {
  loopback::Listener holder;
  EXPECT_STREQ(describeBindableIpStacks(false, false, holder.port()).data, "");
}
