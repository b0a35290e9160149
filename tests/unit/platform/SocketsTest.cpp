#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "agent/platform/Sockets.h"
#include "tests/support/LoopbackSockets.h"

namespace {

using namespace std::chrono_literals;

// Sends until the socket has no room; the number of bytes it took.
size_t fillUp(SocketHandle socket) {
  const std::string block(65536, 'x');
  size_t total = 0;
  for (int i = 0; i < 100000; i++) {
    const SocketSendResult result = sendOnSocket(socket, block.data(), int32_t(block.size()));
    EXPECT_EQ(result.error, 0);
    if (result.wouldBlock || result.error != 0) return total;
    total += size_t(result.sent);
  }
  ADD_FAILURE() << "the socket never ran out of room";
  return total;
}

// A port nobody holds at the moment: one the system just handed out and took back.
int32_t freePort() {
  loopback::Listener listener;
  return listener.port();
}

#ifdef _WIN32
bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
#endif

}  // namespace

// --- sending and waiting

TEST(Sockets, ASendReportsWhatTheSocketTookAndWouldBlockWhenItIsFull) {
  loopback::Connection connection(4096, 4096);
  const std::string hello = "hello";
  const SocketSendResult first = sendOnSocket(connection.sender(), hello.data(), int32_t(hello.size()));
  EXPECT_EQ(first.sent, 5);
  EXPECT_FALSE(first.wouldBlock);
  EXPECT_EQ(first.error, 0);
  EXPECT_EQ(connection.receive(5, 5, 0ms), "hello");

  const size_t taken = fillUp(connection.sender());
  EXPECT_GT(taken, 0u);
  EXPECT_EQ(connection.drain(200ms).size(), taken);
}

TEST(Sockets, AWaitEndsWhenRoomComesOrTheTimeRunsOut) {
  loopback::Connection connection(4096, 4096);
  int32_t error = 0;
  EXPECT_GT(waitUntilSocketWritable(connection.sender(), 1000, error), 0);

  fillUp(connection.sender());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitUntilSocketWritable(connection.sender(), 100, error), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);

  connection.drain(200ms);
  EXPECT_GT(waitUntilSocketWritable(connection.sender(), 1000, error), 0);
}

// Without MSG_NOSIGNAL the first send after the peer's reset would end this process with SIGPIPE.
TEST(Sockets, SendingToAClosedPeerIsAnErrorNotASignal) {
  loopback::Connection connection(4096, 4096);
  connection.closeReceiver();
  const std::string block(65536, 'x');
  SocketSendResult result = {0, false, 0};
  for (int i = 0; i < 1000 && result.error == 0; i++) {
    result = sendOnSocket(connection.sender(), block.data(), int32_t(block.size()));
    if (result.wouldBlock) {
      int32_t error = 0;
      waitUntilSocketWritable(connection.sender(), 1000, error);
    }
  }
  EXPECT_NE(result.error, 0);
}

TEST(Sockets, AHandleThatIsNoSocketFailsWithItsErrorCode) {
  const char byte = 0;
  const SocketHandle none = -1;
  const SocketSendResult result = sendOnSocket(none, &byte, 1);
  EXPECT_NE(result.error, 0);
  EXPECT_FALSE(result.wouldBlock);
  int32_t error = 0;
  EXPECT_EQ(waitUntilSocketWritable(none, 100, error), -1);
  EXPECT_NE(error, 0);
}

// --- error texts

TEST(Sockets, AnErrorTextIsTheSystemsMessageWithItsCode) {
#ifdef _WIN32
  const std::string text = getWindowsErrorText(2).data;  // ERROR_FILE_NOT_FOUND
  ASSERT_TRUE(endsWith(text, " (code 2)")) << text;
  const std::string message = text.substr(0, text.size() - 9);
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(message.back(), '.') << text;
  EXPECT_NE(message.back(), ' ') << text;
  EXPECT_NE(message.front(), ' ') << text;
#else
  EXPECT_STREQ(getWindowsErrorText(EPIPE).data, "Broken pipe (code 32)");
  EXPECT_STREQ(getWindowsErrorText(ECONNRESET).data, "Connection reset by peer (code 104)");
#endif
}

TEST(Sockets, ACodeWithoutAMessageIsAnUnknownError) {
  EXPECT_STREQ(getWindowsErrorText(0x2000FFFF).data, "Unknown error (code 536936447)");
  EXPECT_STREQ(getWindowsErrorText(-7).data, "Unknown error (code -7)");
}

// --- installed stacks and test binds

TEST(Sockets, TheLoopbackIPv4StackIsInstalled) { EXPECT_TRUE(detectInstalledIpProtocols().ipv4); }

TEST(Sockets, AFreePortCanBeBoundOnEveryInstalledStack) {
  const InstalledIpProtocols installed = detectInstalledIpProtocols();
  const int32_t port = freePort();
  EXPECT_TRUE(canBindIPv4(port, true));
  EXPECT_TRUE(canBindIPv4(port, false));
  if (installed.ipv6) {
    EXPECT_TRUE(canBindIPv6(port, true));
    EXPECT_TRUE(canBindIPv6(port, false));
  }
}

// The probes set no reuse option, so another program's socket on the port makes them fail.
TEST(Sockets, APortHeldAtTheLoopbackAddressCannotBeBoundThere) {
  loopback::Listener holder;
  EXPECT_FALSE(canBindIPv4(holder.port(), true));
#ifndef _WIN32
  EXPECT_FALSE(canBindIPv4(holder.port(), false));
  if (detectInstalledIpProtocols().ipv6) {
    EXPECT_FALSE(canBindIPv6(holder.port(), true));  // the dual-stack socket covers 127.0.0.1 too
    EXPECT_TRUE(canBindIPv6(holder.port(), false));
  }
#endif
}

TEST(Sockets, APortOutsideTheTcpRangeCannotBeBound) {
  for (const int32_t port : {-1, 65536, 65536 + freePort()}) {
    EXPECT_FALSE(canBindIPv4(port, true)) << port;
    EXPECT_FALSE(canBindIPv6(port, true)) << port;
  }
}
