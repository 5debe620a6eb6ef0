// LDAPDynamicClient: an LDAPClient with its own login (no init agent, no protocol version,
// connect timeout through option 20485, the bind judged by errorCode()) and its own URL
// search, which parses the URL itself and searches the URL's server with the caller's scope.
#ifndef ZUZEDER_LDAPDYNAMICCLIENT_H
#define ZUZEDER_LDAPDYNAMICCLIENT_H

#include "ldapclient.h"
#include "zevexport.h"

namespace zev09000003 {

class ZUZEDER_EXPORT LDAPDynamicClient : public LDAPClient {
 public:
  LDAPDynamicClient(const ZEVConstString& host, const ZEVConstString& driverPath,
                    const ZEVAgent* initAgent, int port, int version, int searchTimeout,
                    int connectTimeout);
  ~LDAPDynamicClient() override;

  using LDAPClient::login;
  // Opens a new session with ldap_init (never the init agent) and binds; a session held before
  // is released. The bind fails when errorCode() is not 0. Throws ZEVDIRException 576002 when no
  // session opens or the bind fails, 576009 when the bind itself returned 32 or 49.
  int login(const char* userDN, const char* password) override;

  // Points the client at the URL's host and port, binds anonymously there and searches the
  // URL's base, filter and attributes with the given scope. Returns the entry count, or 0
  // when the login to the URL's server fails. Throws ZEVDIRException 576004 when the URL
  // functions are missing or the URL does not parse, and what search() throws.
  int searchByURI(const ZEVString& url, int scope);
};

}  // namespace zev09000003

#endif
