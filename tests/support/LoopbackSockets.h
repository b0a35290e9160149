#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "agent/platform/Sockets.h"

// Real TCP sockets on 127.0.0.1 for the tests of the code that sends on the Java side's socket.

namespace loopback {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket noSocket = INVALID_SOCKET;
inline void closeNative(NativeSocket s) { closesocket(s); }
#else
using NativeSocket = int;
constexpr NativeSocket noSocket = -1;
inline void closeNative(NativeSocket s) { close(s); }
#endif

// The Java side has Windows Sockets started before it hands a socket over; the tests do the same.
class Session {
 public:
#ifdef _WIN32
  Session() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  }
  ~Session() { WSACleanup(); }
#endif
};

inline sockaddr_in loopbackAddress(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline void setBuffer(NativeSocket s, int option, int bytes) {
  if (bytes > 0) setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&bytes), sizeof(bytes));
}

inline void setNonBlocking(NativeSocket s) {
#ifdef _WIN32
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
#else
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
#endif
}

// Whether bytes (or the peer's end) can be read within `wait`.
inline bool readable(NativeSocket s, std::chrono::milliseconds wait) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval timeout = {long(wait.count() / 1000), long(wait.count() % 1000 * 1000)};
  return select(0, &set, nullptr, nullptr, &timeout) > 0;
#else
  pollfd entry = {s, POLLIN, 0};
  return poll(&entry, 1, int(wait.count())) > 0;
#endif
}

// A TCP socket listening at 127.0.0.1 on a port the system chose: it holds the port on that address
// alone. `receiveBuffer` (when positive) is what accepted connections inherit.
class Listener {
  Session session;


 public:
  explicit Listener(int receiveBuffer = 0) {
    handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == noSocket) throw std::runtime_error("socket failed");
    setBuffer(handle, SO_RCVBUF, receiveBuffer);
    sockaddr_in address = loopbackAddress(0);
    socklen_t size = sizeof(address);
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(handle, 4) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      closeNative(handle);
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    boundPort = ntohs(address.sin_port);
  }
  ~Listener() { closeNative(handle); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int32_t port() const { return boundPort; }
  NativeSocket socketHandle() const { return handle; }

 private:
  NativeSocket handle;
  int32_t boundPort;
};

// A connection on 127.0.0.1. The sending end is non-blocking, as the code under test must wait for room
// itself; small buffers (when given) make it wait often. The test reads the receiving end.
class Connection {
 public:
  Connection(int sendBuffer, int receiveBuffer) : listener(receiveBuffer) {
    sending = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sending == noSocket) throw std::runtime_error("socket failed");
    setBuffer(sending, SO_SNDBUF, sendBuffer);
    const sockaddr_in address = loopbackAddress(listener.port());
    if (connect(sending, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      closeNative(sending);
      throw std::runtime_error("cannot connect on 127.0.0.1");
    }
    receiving = accept(listener.socketHandle(), nullptr, nullptr);
    if (receiving == noSocket) {
      closeNative(sending);
      throw std::runtime_error("accept failed");
    }
    setNonBlocking(sending);
  }
  ~Connection() {
    closeNative(sending);
    closeReceiver();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SocketHandle sender() const { return SocketHandle(sending); }

  // Reads until `count` bytes came or the sender's end closed, `chunk` bytes at a time with a pause
  // after each read: a slow client.
  std::string receive(size_t count, int chunk, std::chrono::milliseconds pause) {
    std::string received;
    std::string block(size_t(chunk), '\0');
    while (received.size() < count) {
      const int n = recv(receiving, &block[0], chunk, 0);
      if (n <= 0) break;
      received.append(block.data(), size_t(n));
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    return received;
  }

  // Everything that arrives until nothing more has come for `quiet`.
  std::string drain(std::chrono::milliseconds quiet) {
    std::string received;
    char block[65536];
    while (readable(receiving, quiet)) {
      const int n = recv(receiving, block, int(sizeof(block)), 0);
      if (n <= 0) break;
      received.append(block, size_t(n));
    }
    return received;
  }

  // The client goes away: sends to it fail from then on.
  void closeReceiver() {
    if (receiving != noSocket) closeNative(receiving);
    receiving = noSocket;
  }

 private:
  Listener listener;
  NativeSocket sending;
  NativeSocket receiving;
};

// Bytes in which a lost, repeated or misplaced piece shows: every 4-byte word holds its own index.
inline std::string numberedBytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; i++) bytes[i] = char(uint8_t((i / 4) >> (8 * (i % 4))));
  return bytes;
}

}  // namespace loopback
