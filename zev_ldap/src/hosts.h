// Host texts of zev_ldap_init, turned into the URI list that OpenLDAP's ldap_initialize takes.
#ifndef ZEV_LDAP_SRC_HOSTS_H
#define ZEV_LDAP_SRC_HOSTS_H

#include <string>

namespace zevldap {

// Builds "ldap://a:389 ldaps://b" from a host text: null or blank (localhost), a name,
// "name:port", "[v6]:port", a bare IPv6 address, a space-separated list of these, or ldap://,
// ldaps:// and ldapi:// URIs. A URI keeps only scheme://host:port (a DN part, as in
// "ldap://host/cn=x?attr", is dropped). port goes to names that carry none; 0 means the
// scheme's default. Returns false, leaving uris alone, for a malformed text or port.
bool hostsToUriList(const char* host, int port, std::string* uris);

}  // namespace zevldap

#endif
