// Why a TLS connection to a server fails, in OpenSSL's words.
#ifndef ZEV_LDAP_SRC_TLSPROBE_H
#define ZEV_LDAP_SRC_TLSPROBE_H

#include <string>

namespace zevldap {

struct ProbeTarget {
  std::string host;
  int port = 0;
  bool startTLS = false;      // plain LDAP first, then the StartTLS request
  std::string caFile, caDir;  // empty: the system's default trust anchors
  int timeoutSeconds = 10;
};

// Connects to the server and makes the TLS handshake that OpenLDAP made, verifying the
// certificate chain against the same trust anchors and the host name (an address as an IP
// address). Returns "" when the TCP connection cannot be made or the handshake succeeds, else
// the reason: "certificate verify failed: self-signed certificate in certificate chain",
// "certificate verify failed: hostname mismatch", or OpenSSL's reason for another failure.
std::string probeTLS(const ProbeTarget& target);

}  // namespace zevldap

#endif
