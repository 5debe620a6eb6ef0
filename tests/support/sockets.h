// The socket calls of the test servers (the silent listener, the hostile server), over BSD
// sockets or Winsock.
#ifndef TESTS_SUPPORT_SOCKETS_H
#define TESTS_SUPPORT_SOCKETS_H

#include <stdexcept>

// The library's own socket layer: BSD sockets or Winsock.
#include "../../zev_ldap/src/netio.h"

namespace slapdtest {

typedef zevldap::NetSocket Socket;
using zevldap::kNoSocket;
using zevldap::kSendFlags;
inline void closeSocket(Socket s) { zevldap::netClose(s); }
inline int pollSockets(pollfd* p, unsigned n, int ms) { return zevldap::netPoll(p, n, ms); }

#if defined(_WIN32)
// Winsock wants WSAStartup before the first socket; a member declared before the socket.
struct SocketsStarted {
  SocketsStarted() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~SocketsStarted() { WSACleanup(); }
};
#else
struct SocketsStarted {};
#endif

// A socket listening on a free loopback port; throws when none can be had.
inline Socket listenOnLoopback(int* port) {
  Socket fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd == kNoSocket || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd != kNoSocket) closeSocket(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace slapdtest

#endif
