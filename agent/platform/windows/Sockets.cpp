#include "agent/platform/Sockets.h"

// winsock2.h must come before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <ws2spi.h>
#include <windows.h>

#include "agent/platform/windows/WideText.h"

namespace {

bool isValidPort(int32_t port) { return port >= 0 && port <= 0xFFFF; }

// Each probe starts and ends its own use of Windows Sockets, version 1.1 as the binds need no more.
bool canBind(const sockaddr* address, int size, bool setV6Only, DWORD v6Only) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  bool bound = false;
  const SOCKET s = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET) {
    bound = !setV6Only ||
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only), sizeof(v6Only)) == 0;
    bound = bound && bind(s, address, size) == 0;
    closesocket(s);
  }
  WSACleanup();
  return bound;
}

// Sets the flags of the families found in a protocol enumeration.
void addFamilies(const WSAPROTOCOL_INFOW* protocols, int count, InstalledIpProtocols& found) {
  for (int i = 0; i < count; i++) {
    if (protocols[i].iAddressFamily == AF_INET) found.ipv4 = true;
    if (protocols[i].iAddressFamily == AF_INET6) found.ipv6 = true;
  }
}

}  // namespace

SocketSendResult sendOnSocket(SocketHandle socket, const void* data, int32_t count) {
  if (count < 0) return {0, false, WSAEINVAL};
  const int n = send(SOCKET(socket), static_cast<const char*>(data), count, 0);
  if (n != SOCKET_ERROR) return {n, false, 0};
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {0, true, 0};
  return {0, false, error};
}

int32_t waitUntilSocketWritable(SocketHandle socket, int32_t timeoutMs, int32_t& error) {
  if (timeoutMs < 0) timeoutMs = 0;
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(SOCKET(socket), &writable);
  timeval timeout;
  timeout.tv_sec = timeoutMs / 1000;
  timeout.tv_usec = (timeoutMs % 1000) * 1000;
  const int result = select(0, nullptr, &writable, nullptr, &timeout);
  if (result == SOCKET_ERROR) {
    error = WSAGetLastError();
    return -1;
  }
  return result;
}

// Inserts are ignored: a message with "%1" in it would otherwise make FormatMessageW read arguments that
// were never passed.
YString getWindowsErrorText(int32_t code) {
  wchar_t* message = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, DWORD(code), 0x400, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  YString text("Unknown error");
  if (length > 0 && message != nullptr) {
    text = utf8FromWide(message).trim();
    if (text.length > 0 && text.data[text.length - 1] == '.') text = text.substring(0, text.length - 1);
  }
  if (message != nullptr) LocalFree(message);
  text.append(" (code ");
  text.appendLong(code);
  text.append(")");
  return text;
}

InstalledIpProtocols detectInstalledIpProtocols() {
  InstalledIpProtocols found = {false, false};
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return found;
  const HANDLE heap = GetProcessHeap();
  DWORD size = 16384;
  void* buffer = HeapAlloc(heap, 0, size);
  if (buffer != nullptr) {
    int error = 0;
    int count = WSCEnumProtocols(nullptr, static_cast<WSAPROTOCOL_INFOW*>(buffer), &size, &error);
    if (count == SOCKET_ERROR && error == WSAENOBUFS) {
      HeapFree(heap, 0, buffer);
      buffer = HeapAlloc(heap, 0, size);
      count = buffer == nullptr ? SOCKET_ERROR
                                : WSCEnumProtocols(nullptr, static_cast<WSAPROTOCOL_INFOW*>(buffer), &size, &error);
    }
    if (count != SOCKET_ERROR) addFamilies(static_cast<const WSAPROTOCOL_INFOW*>(buffer), count, found);
    if (buffer != nullptr) HeapFree(heap, 0, buffer);
  }
  WSACleanup();
  return found;
}

bool canBindIPv4(int32_t port, bool loopback) {
  if (!isValidPort(port)) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u_short(port));
  address.sin_addr.s_addr = loopback ? inet_addr("127.0.0.1") : htonl(INADDR_ANY);
  return canBind(reinterpret_cast<const sockaddr*>(&address), sizeof(address), false, 0);
}

bool canBindIPv6(int32_t port, bool dualStack) {
  if (!isValidPort(port)) return false;
  sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(u_short(port));
  address.sin6_addr = in6addr_any;
  return canBind(reinterpret_cast<const sockaddr*>(&address), sizeof(address), dualStack, 0);
}
