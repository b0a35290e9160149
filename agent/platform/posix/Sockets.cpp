#include "agent/platform/Sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace {

// A handle that cannot be a descriptor of this process.
bool isDescriptor(SocketHandle socket) { return socket >= 0 && socket <= INT_MAX; }

int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool isValidPort(int32_t port) { return port >= 0 && port <= 0xFFFF; }

// Binds a new TCP socket of the address's family, with IPV6_V6ONLY set as asked for IPv6 (the Linux
// default covers IPv4 too, the Windows one does not), and closes it again.
bool canBind(const sockaddr* address, socklen_t size, int v6Only) {
  const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return false;
  bool bound = true;
  if (address->sa_family == AF_INET6) {
    bound = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof(v6Only)) == 0;
  }
  bound = bound && bind(fd, address, size) == 0;
  close(fd);
  return bound;
}

sockaddr_in ipv4Address(int32_t port, uint32_t host) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(host);
  return address;
}

sockaddr_in6 ipv6Address(int32_t port, const in6_addr& host) {
  sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(uint16_t(port));
  address.sin6_addr = host;
  return address;
}

}  // namespace

SocketSendResult sendOnSocket(SocketHandle socket, const void* data, int32_t count) {
  if (!isDescriptor(socket) || count < 0) return {0, false, EBADF};
  ssize_t n;
  do {
    n = send(int(socket), data, size_t(count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return {int32_t(n), false, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {0, true, 0};
  return {0, false, errno};
}

// poll instead of select: a descriptor above FD_SETSIZE must work too. A signal does not end the wait
// early; it goes on for the rest of the time.
int32_t waitUntilSocketWritable(SocketHandle socket, int32_t timeoutMs, int32_t& error) {
  if (!isDescriptor(socket)) {
    error = EBADF;
    return -1;
  }
  pollfd entry = {int(socket), POLLOUT, 0};
  const int64_t deadline = monotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    const int64_t left = deadline - monotonicMs();
    const int result = poll(&entry, 1, int(left < 0 ? 0 : left));
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      error = errno;
      return -1;
    }
    if (result > 0 && (entry.revents & POLLNVAL) != 0) {
      error = EBADF;
      return -1;
    }
    return result;
  }
}

// strerrordesc_np gives the English text whatever the locale, and nothing for an unknown code (where
// strerror would make up "Unknown error <n>").
YString getWindowsErrorText(int32_t code) {
  const char* description = strerrordesc_np(code);
  YString text = description == nullptr ? YString() : YString(description).trim();
  if (text.length > 0 && text.data[text.length - 1] == '.') text = text.substring(0, text.length - 1);
  if (text.length == 0) text = YString("Unknown error");
  text.append(" (code ");
  text.appendLong(code);
  text.append(")");
  return text;
}

// A stack that is compiled in but has no loopback address (IPv6 switched off by sysctl) cannot serve
// the agent's ports, so it does not count.
InstalledIpProtocols detectInstalledIpProtocols() {
  const sockaddr_in v4 = ipv4Address(0, INADDR_LOOPBACK);
  const sockaddr_in6 v6 = ipv6Address(0, in6addr_loopback);
  return {canBind(reinterpret_cast<const sockaddr*>(&v4), sizeof(v4), 0),
          canBind(reinterpret_cast<const sockaddr*>(&v6), sizeof(v6), 1)};
}

bool canBindIPv4(int32_t port, bool loopback) {
  if (!isValidPort(port)) return false;
  const sockaddr_in address = ipv4Address(port, loopback ? INADDR_LOOPBACK : INADDR_ANY);
  return canBind(reinterpret_cast<const sockaddr*>(&address), sizeof(address), 0);
}

bool canBindIPv6(int32_t port, bool dualStack) {
  if (!isValidPort(port)) return false;
  const sockaddr_in6 address = ipv6Address(port, in6addr_any);
  return canBind(reinterpret_cast<const sockaddr*>(&address), sizeof(address), dualStack ? 0 : 1);
}
