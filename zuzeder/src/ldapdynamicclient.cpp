// LDAPDynamicClient: the login without init agent or protocol version (connect timeout through
// option 20485, the bind judged by errorCode()), and the URL search that parses the URL itself,
// points the client at the URL's server, binds anonymously there and runs an ordinary search.
#include "ldapdynamicclient.h"

#include <sstream>

#include "zevcms.h"

namespace zev09000003 {

namespace {

const char* const kFile = "./zuzeder/src/ldapdynamicclient";
const unsigned int kComponent = 256;
const unsigned int kLevel = 1;

const long kErrNoLogin = 576002;  // 0x8CA02
const long kErrSearch = 576004;   // 0x8CA04
const long kErrRefused = 576009;  // 0x8CA09

const int kLdapNoSuchObject = 32;
const int kLdapInvalidCredentials = 49;
const int kOptNetworkTimeout = 20485;  // 0x5005

// A library may know no text for a code; a message never streams a null pointer.
const char* safeText(const char* text) { return text != nullptr ? text : ""; }

// "URI" or "uri" (exactly): the session is opened without a host and never bound.
bool isURIHost(const ZEVConstString& host) {
  return host.compare("URI") == 0 || host.compare("uri") == 0;
}

// Hands a parsed URL description back to the library that made it, on every way out.
class URLDescription {
 public:
  explicit URLDescription(ldap_free_urldesc_fn release) : release_(release), desc_(nullptr) {}
  ~URLDescription() {
    if (desc_ != nullptr) release_(desc_);
  }
  URLDescription(const URLDescription&) = delete;
  URLDescription& operator=(const URLDescription&) = delete;

  LDAPURLDesc** out() { return &desc_; }
  const LDAPURLDesc* get() const { return desc_; }

 private:
  ldap_free_urldesc_fn release_;
  LDAPURLDesc* desc_;
};

}  // namespace

LDAPDynamicClient::LDAPDynamicClient(const ZEVConstString& host, const ZEVConstString& driverPath,
                                     const ZEVAgent* initAgent, int port, int version,
                                     int searchTimeout, int connectTimeout)
    : LDAPClient(host, driverPath, initAgent, port, version, searchTimeout, connectTimeout) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicClient");
}

LDAPDynamicClient::~LDAPDynamicClient() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "~LDAPDynamicClient()");
}

int LDAPDynamicClient::login(const char* userDN, const char* password) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicClient::login(*)");
  ZEVTrace& trace = ZEVTrace::globalTrace();
  if (trace.isActive(kComponent, kLevel)) {
    trace.write(kFile, __LINE__, kComponent, kLevel, userDN != nullptr ? userDN : "null");
  }

  // Never through the init agent: this client always opens its own session. A session that
  // was open before (the previous URL search's) is released once the new one is opened or
  // failed to open, as LDAPClient::login does, so that repeated URL searches do not leak
  // sessions; its unbind result is dropped and lastResult stays the client's own.
  LDAP* previous = session;
  session = symbols.ldap_init(isURIHost(host) ? nullptr : host.c_str(), port);
  if (previous != nullptr && previous != session) symbols.ldap_unbind(previous);
  if (session == nullptr) {
    std::ostringstream os;
    os << "Cannot open connection to LDAP server:  " << host << ":" << port
       << ".  ldap_init() returned " << safeText(errorMessage(0));
    throw ZEVDIRException(kFile, __LINE__, kErrNoLogin, ZEVString(os));
  }

  // No protocol version is set on this session.
  if (connectTimeout) {
    const int rc = symbols.ldap_set_option(session, kOptNetworkTimeout, connectTimeout.get());
    if (rc != 0 && trace.isActive(kComponent, kLevel)) {
      std::ostringstream os;
      os << "Could not set the connect timeout, " << host
         << " userDN=" << (userDN != nullptr ? userDN : "") << " ldap_set_option() rc=" << rc
         << ". " << safeText(errorMessage(0));
      trace.write(kFile, __LINE__, kComponent, kLevel, ZEVString(os));
    }
  }

  if (isURIHost(host)) return 0;

  lastResult = symbols.ldap_simple_bind_s(session, userDN, password);
  // The session's own error state decides (ldap_get_errno when bound), not the bind's code.
  if (errorCode() != 0) {
    symbols.ldap_unbind(session);
    session = nullptr;
    // Without a session errorCode() is the bind's own return code.
    const int code = errorCode();
    std::ostringstream os;
    os << "Cannot bind to LDAP server, " << host << " userDN=" << (userDN != nullptr ? userDN : "")
       << " ldap_simple_bind() rc=" << code << ". " << safeText(errorMessage(0));
    const long error =
        code == kLdapNoSuchObject || code == kLdapInvalidCredentials ? kErrRefused : kErrNoLogin;
    throw ZEVDIRException(kFile, __LINE__, error, ZEVString(os));
  }
  return 0;
}

int LDAPDynamicClient::searchByURI(const ZEVString& url, int scope) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPDynamicClient::searchByURI");
  if (symbols.ldap_url_parse == nullptr || symbols.ldap_free_urldesc == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "searchByURI not supported by this client");
  }
  if (result != nullptr) {
    symbols.ldap_msgfree(result);
    result = nullptr;
  }

  // Held from here on, so that a description returned together with an error code is handed
  // back as well.
  URLDescription description(symbols.ldap_free_urldesc);
  const int rc = symbols.ldap_url_parse(url.c_str(), description.out());
  if (rc != 0) {
    std::ostringstream os;
    os << "Parse LDAP URL Error"
       << "rc=" << rc << ". " << safeText(errorMessage(rc));
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, ZEVString(os));
  }
  const LDAPURLDesc* desc = description.get();
  if (desc == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "Parse LDAP URL localdesc == NULL");
  }

  // The URL's server from now on; a URL without a host gets one from its DN's dc= parts.
  if (desc->lud_host != nullptr) {
    host = ZEVConstString(desc->lud_host);
  } else {
    host = ZEVConstString(convertDCtoHost(url));
  }
  port = desc->lud_port;

  try {
    login(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr));
  } catch (const ZEVDIRException&) {
    // A server that cannot be reached or refuses the anonymous bind has nothing to give.
    return 0;
  }
  return search(desc->lud_dn, scope, desc->lud_filter, desc->lud_attrs, 0);
}

}  // namespace zev09000003
