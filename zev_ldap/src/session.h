// What the library remembers about each session beyond OpenLDAP's own state: whether StartTLS
// was asked for (and refused), whether the server pages, the page size and which server the
// session talks to. Kept in a table keyed by the session handle, from zev_ldap_init to
// zev_ldap_unbind.
#ifndef ZEV_LDAP_SRC_SESSION_H
#define ZEV_LDAP_SRC_SESSION_H

#include <ldap.h>

#include <string>

namespace zevldap {

// StartTLS as the host text asks for it: the URI extension "StartTLS" (or its OID
// 1.3.6.1.4.1.1466.20037) tries it, "!StartTLS" (critical) requires it.
enum class StartTLS { kNo = 0, kTry = 1, kRequire = 2 };

struct SessionState {
  StartTLS startTLS = StartTLS::kNo;
  bool ldaps = false;            // the session's server is reached with ldaps://
  bool startTLSRefused = false;  // kTry, and the server said no: the session goes on in clear
  int paging = -1;               // the root DSE offers paged results: -1 not asked yet, 0, 1
  int pageSize = 500;            // 0: never page
  std::string server;            // "host:port" of a one-server session, lower case; else ""
};

void rememberSession(LDAP* ld, const SessionState& state);
void forgetSession(LDAP* ld);
// The state of a session; a default state for a handle this library did not open.
SessionState sessionState(LDAP* ld);
void setPaging(LDAP* ld, int paging);

// Before an operation: when the session asks for StartTLS and its connection is not protected
// yet (a fresh session, or one that reconnected), runs StartTLS and installs TLS. Returns 0
// when the operation may go ahead (also when StartTLS was only tried and the server refused
// it), kTLSFailure with the reason as the detail, or OpenLDAP's code of a connection failure.
// The session's result code agrees.
int ensureTLS(LDAP* ld);

// After a failure with OpenLDAP's code rc: a connection failure of a TLS session whose
// diagnostic message gives a TLS reason becomes kTLSFailure, with that reason as the detail
// and the session's result code. Other codes come back unchanged.
int nameTLSFailure(LDAP* ld, int rc);

// The session's connect timeout (LDAP_OPT_NETWORK_TIMEOUT); false when none is set.
bool connectTimeout(LDAP* ld, struct timeval* limit);

}  // namespace zevldap

#endif
