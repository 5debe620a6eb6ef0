// The few socket calls the library makes itself (the TLS probe's connection, the wait before a
// read), over BSD sockets or Winsock.
#ifndef ZEV_LDAP_NETIO_H
#define ZEV_LDAP_NETIO_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zevldap {

#if defined(_WIN32)
typedef SOCKET NetSocket;
const NetSocket kNoSocket = INVALID_SOCKET;
const int kSendFlags = 0;  // Winsock raises no SIGPIPE

inline void netClose(NetSocket s) { closesocket(s); }
inline int netPoll(pollfd* fds, unsigned count, int milliseconds) {
  return WSAPoll(fds, count, milliseconds);
}
inline bool netInterrupted() { return WSAGetLastError() == WSAEINTR; }
// Winsock takes the time limits of SO_RCVTIMEO and SO_SNDTIMEO as milliseconds.
inline void netLimit(NetSocket s, int option, long seconds) {
  DWORD ms = static_cast<DWORD>(seconds) * 1000;
  setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms);
}
// What a non-blocking socket reports when nothing is there; liblber reads it through
// WSAGetLastError on Windows.
inline void netSetWouldBlock() { WSASetLastError(WSAEWOULDBLOCK); }
#else
typedef int NetSocket;
const NetSocket kNoSocket = -1;
const int kSendFlags = MSG_NOSIGNAL;

inline void netClose(NetSocket s) { close(s); }
inline int netPoll(pollfd* fds, unsigned count, int milliseconds) {
  return poll(fds, count, milliseconds);
}
inline bool netInterrupted() { return errno == EINTR; }
inline void netLimit(NetSocket s, int option, long seconds) {
  timeval limit = {seconds, 0};
  setsockopt(s, SOL_SOCKET, option, &limit, sizeof limit);
}
inline void netSetWouldBlock() { errno = EWOULDBLOCK; }
#endif

}  // namespace zevldap

#endif  // ZEV_LDAP_NETIO_H
