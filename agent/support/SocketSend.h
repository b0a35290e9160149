#pragma once

#include <cstdint>

#include "agent/platform/Sockets.h"
#include "agent/support/YString.h"

// Sends the whole buffer on a socket the Java side handed over, waiting while the socket has no room,
// each wait at most the "_socket_timeout_ms" time-out (30000 ms when absent or negative). True when
// every byte was sent; false after a failed send, a failed wait or a time-out, each logged. The socket
// is never closed here. A length of 0 is sent at once; a negative one is refused.
bool y_send(SocketHandle socket, const void* data, int32_t length);
// Where the time-out comes from: the agent core installs the reader of its option; without a source the
// time-out is the default.
void setSocketTimeoutSource(int32_t (*source)());

// The installed stacks that cannot bind the port now, among "IPv4(lb)" (127.0.0.1), "IPv4" (0.0.0.0),
// "IPv6(dual)" and "IPv6" (the IPv6 any-address with and without IPv4), blank-separated; empty when
// every installed stack can. Every bind of an installed stack is tried.
YString describeBindableIpStacks(bool ipv4Installed, bool ipv6Installed, int32_t port);
