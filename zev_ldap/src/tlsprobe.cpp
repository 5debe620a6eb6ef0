// A second TLS handshake with OpenSSL, made only after OpenLDAP's failed, to name the reason.
//
// Design choice: OpenLDAP's TLS layer (GnuTLS in Debian's build) leaves no reason behind that
// a caller can read ("(unknown error code)" at best), and users need to know whether the chain,
// the host name or the protocol was refused. Repeating the handshake with the same trust
// anchors gives OpenSSL's reason. It costs one connection, and only when TLS already failed.
#include "tlsprobe.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "netio.h"

namespace zevldap {
namespace {

struct Socket {
  NetSocket fd = kNoSocket;
  ~Socket() {
    if (fd != kNoSocket) netClose(fd);
  }
};

// A TCP connection with send and receive bounded by the timeout; false when none can be made.
bool connectTo(const ProbeTarget& target, Socket* socket) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found) != 0) {
    return false;
  }
  struct Free {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
  };
  std::unique_ptr<addrinfo, Free> holder(found);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    NetSocket fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd == kNoSocket) continue;
    netLimit(fd, SO_RCVTIMEO, target.timeoutSeconds);
    netLimit(fd, SO_SNDTIMEO, target.timeoutSeconds);
    if (::connect(fd, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      socket->fd = fd;
      return true;
    }
    netClose(fd);
  }
  return false;
}

bool readFully(NetSocket fd, unsigned char* buffer, size_t length) {
  while (length > 0) {
    auto n = ::recv(fd, reinterpret_cast<char*>(buffer), static_cast<int>(length), 0);
    if (n <= 0) return false;
    buffer += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Sends the StartTLS extended request and reads the answer (its code is not looked at: the
// handshake that follows tells). False when the connection fails on the way.
bool startTLS(NetSocket fd) {
  static const char kOid[] = "1.3.6.1.4.1.1466.20037";
  unsigned char request[64];
  size_t oid = sizeof kOid - 1;
  size_t at = 0;
  request[at++] = 0x30;  // LDAPMessage
  request[at++] = static_cast<unsigned char>(3 + 2 + 2 + oid);
  request[at++] = 0x02;  // messageID 1
  request[at++] = 0x01;
  request[at++] = 0x01;
  request[at++] = 0x77;  // [APPLICATION 23] ExtendedRequest
  request[at++] = static_cast<unsigned char>(2 + oid);
  request[at++] = 0x80;  // [0] requestName
  request[at++] = static_cast<unsigned char>(oid);
  std::memcpy(request + at, kOid, oid);
  at += oid;
  if (::send(fd, reinterpret_cast<const char*>(request), static_cast<int>(at), kSendFlags) !=
      static_cast<int>(at)) {
    return false;
  }
  unsigned char head[2];
  if (!readFully(fd, head, 2) || head[0] != 0x30) return false;
  size_t length = head[1];
  if (length & 0x80) {
    size_t bytes = length & 0x7f;
    unsigned char number[4];
    if (bytes == 0 || bytes > 4 || !readFully(fd, number, bytes)) return false;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = length << 8 | number[i];
  }
  if (length > 65536) return false;
  std::unique_ptr<unsigned char[]> body(new unsigned char[length]);
  return readFully(fd, body.get(), length);
}

}  // namespace

std::string probeTLS(const ProbeTarget& target) {
  Socket socket;
  if (!connectTo(target, &socket)) return "";
  if (target.startTLS && !startTLS(socket.fd)) return "";
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_client_method()),
                                                       SSL_CTX_free);
  if (!context) return "";
  if (target.caFile.empty() && target.caDir.empty()) {
    SSL_CTX_set_default_verify_paths(context.get());
  } else if (SSL_CTX_load_verify_locations(
                 context.get(), target.caFile.empty() ? nullptr : target.caFile.c_str(),
                 target.caDir.empty() ? nullptr : target.caDir.c_str()) != 1) {
    ERR_clear_error();
    return "the trust anchors " + target.caFile + target.caDir + " cannot be read";
  }
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  std::unique_ptr<SSL, void (*)(SSL*)> ssl(SSL_new(context.get()), SSL_free);
  if (!ssl) return "";
  // OpenLDAP checks the name "localhost" as the machine's own name.
  std::string name = target.host;
  if (name == "localhost") {
    char own[256] = {0};
    if (gethostname(own, sizeof own - 1) == 0) name = own;
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
  in6_addr address;
  if (inet_pton(AF_INET, name.c_str(), &address) == 1 ||
      inet_pton(AF_INET6, name.c_str(), &address) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    SSL_set_tlsext_host_name(ssl.get(), name.c_str());
  }
  SSL_set_fd(ssl.get(), static_cast<int>(socket.fd));
  ERR_clear_error();
  if (SSL_connect(ssl.get()) == 1) {
    SSL_shutdown(ssl.get());
    return "";
  }
  long verify = SSL_get_verify_result(ssl.get());
  std::string reason;
  if (verify != X509_V_OK) {
    reason = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
  } else {
    unsigned long error = ERR_get_error();
    const char* text = error != 0 ? ERR_reason_error_string(error) : nullptr;
    reason = text != nullptr ? text : "the TLS handshake failed";
  }
  ERR_clear_error();
  return reason;
}

}  // namespace zevldap
