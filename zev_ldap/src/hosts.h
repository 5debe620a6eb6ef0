// Host texts of zev_ldap_init, turned into the URI list that OpenLDAP's ldap_initialize takes.
#ifndef ZEV_LDAP_SRC_HOSTS_H
#define ZEV_LDAP_SRC_HOSTS_H

#include <ldap.h>

#include <string>

namespace zevldap {

// What a host text asks for beyond the servers: StartTLS, from the URI extension "StartTLS"
// or its OID 1.3.6.1.4.1.1466.20037 ("ldap://host:389/????StartTLS"): 1 tries it, 2 requires
// it (the critical form "!StartTLS"); 0 when no URI asks. The strongest request of a list wins.
// ldaps is true when every server of the list is reached with ldaps://, server is
// "host:port" (lower case, default port filled in) when the text names exactly one server.
struct HostRequest {
  int startTLS = 0;
  bool ldaps = false;
  std::string server;
};

// Builds "ldap://a:389 ldaps://b" from a host text: null or blank (localhost), a name,
// "name:port", "[v6]:port", a bare IPv6 address, a space-separated list of these, or ldap://,
// ldaps:// and ldapi:// URIs. A URI keeps only scheme://host:port (a DN part, as in
// "ldap://host/cn=x?attr", is dropped). port goes to names that carry none; 0 means the
// scheme's default. A critical URI extension other than StartTLS is refused; others are
// ignored. Returns false, leaving uris alone, for a malformed text or port.
bool hostsToUriList(const char* host, int port, std::string* uris, HostRequest* request = nullptr);

// "host:port" of a parsed URL in lower case, the scheme's default port filled in: the form in
// which servers are compared.
std::string serverKey(const LDAPURLDesc& url);

}  // namespace zevldap

#endif
