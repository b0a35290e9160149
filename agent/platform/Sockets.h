#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The OS socket handle as an integer: a file descriptor on Linux, a SOCKET on Windows. The sockets the
// Java side hands over stay its own: nothing here closes them or changes their mode.
using SocketHandle = int64_t;

// What one send call did.
struct SocketSendResult {
  int32_t sent;     // bytes the socket took, 0 or more, when the send neither failed nor would block
  bool wouldBlock;  // a non-blocking socket has no room at the moment
  int32_t error;    // the OS error code of a failed send; 0 when it did not fail
};

// One send of up to `count` bytes, no flags. On Linux it never raises SIGPIPE: a closed peer is an
// error result like any other.
SocketSendResult sendOnSocket(SocketHandle socket, const void* data, int32_t count);

// Waits at most `timeoutMs` milliseconds until the socket can take more data: positive when it can (or
// when its state changed so that the next send reports why it cannot), 0 when the time ran out, -1 on
// an error, whose OS code goes to `error`.
int32_t waitUntilSocketWritable(SocketHandle socket, int32_t timeoutMs, int32_t& error);

// "<text> (code <n>)": the system's message for a socket or Windows error code, trimmed, without its
// final full stop; "Unknown error (code <n>)" when the system has none. On Linux the code is an errno
// value and the text its English description.
YString getWindowsErrorText(int32_t code);

// The IP stacks of the machine. On Windows, the installed providers; on Linux, a family counts when a
// socket of it can be made and bound on its loopback address.
struct InstalledIpProtocols {
  bool ipv4;
  bool ipv6;
};
InstalledIpProtocols detectInstalledIpProtocols();

// Whether a fresh TCP socket could bind the port now, on 127.0.0.1 (`loopback`) or 0.0.0.0, or on the
// IPv6 any-address, covering IPv4 as well with `dualStack`. No reuse option is set, so the bind fails
// while another socket holds the port there. A port outside 0 to 65535 cannot be bound.
bool canBindIPv4(int32_t port, bool loopback);
bool canBindIPv6(int32_t port, bool dualStack);
