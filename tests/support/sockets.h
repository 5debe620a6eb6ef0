// The socket calls of the test servers (the silent listener, the hostile server), over BSD
// sockets or Winsock.
#ifndef TESTS_SUPPORT_SOCKETS_H
#define TESTS_SUPPORT_SOCKETS_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdexcept>

namespace slapdtest {

#if defined(_WIN32)
typedef SOCKET Socket;
const Socket kNoSocket = INVALID_SOCKET;
const int kSendFlags = 0;  // Winsock raises no SIGPIPE
inline void closeSocket(Socket s) { closesocket(s); }
inline int pollSockets(pollfd* p, unsigned n, int ms) { return WSAPoll(p, n, ms); }
// Winsock wants WSAStartup before the first socket; a member declared before the socket.
struct SocketsStarted {
  SocketsStarted() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~SocketsStarted() { WSACleanup(); }
};
#else
typedef int Socket;
const Socket kNoSocket = -1;
const int kSendFlags = MSG_NOSIGNAL;
inline void closeSocket(Socket s) { close(s); }
inline int pollSockets(pollfd* p, unsigned n, int ms) { return poll(p, n, ms); }
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
