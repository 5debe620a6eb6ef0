// libzev9ldap: the client table's functions under "zev_" names, over OpenLDAP's libldap.
//
// Sessions and messages are OpenLDAP's own handles, passed through unchanged; what this layer
// adds is the classic result codes, the host forms of zev_ldap_init, bounded waits, the cap on
// incoming messages and URL searches against the server that the URL names.
#include <lber.h>
#include <ldap.h>
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "hosts.h"
#include "incoming.h"
#include "report.h"
#include "search.h"
#include "session.h"
#include "zevldapcodes.h"

#if defined(_WIN32)
#define ZEV_LDAP_EXPORT extern "C" __declspec(dllexport)
#else
#define ZEV_LDAP_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The one place where OpenLDAP's result codes become the classic ones that callers of this
// library compare with (81 server down, 85 timeout, 89 parameter error, 91 connect error ...).
// OpenLDAP reports its client-side failures as -1 .. -17; every code that leaves the library
// goes through here.
int classicCode(int rc) {
  if (rc <= -1 && rc >= -17) return 80 - rc;
  return rc;
}

// The inverse, for the texts: OpenLDAP only knows its negative forms. zevldap::kTLSFailure is
// the library's own and the same in both.
int openldapCode(int code) {
  if (code >= 81 && code <= 97) return 80 - code;
  return code;
}

constexpr ber_len_t kDefaultMaxIncoming = 256UL * 1024 * 1024;

int closeSession(LDAP* ld);
struct SessionCloser {
  void operator()(LDAP* ld) const { closeSession(ld); }
};
typedef std::unique_ptr<LDAP, SessionCloser> SessionPtr;

constexpr int kDefaultPageSize = 500;

// The option that sets a session's page size (an int; 0 switches paging off). Its number is
// in the range that OpenLDAP leaves to applications.
constexpr int kOptionPageSize = 0x7A01;

struct UrlDescFreer {
  void operator()(LDAPURLDesc* description) const { ldap_free_urldesc(description); }
};
typedef std::unique_ptr<LDAPURLDesc, UrlDescFreer> UrlDescPtr;

struct MemFreer {
  void operator()(void* p) const { ldap_memfree(p); }
};
typedef std::unique_ptr<struct timeval, MemFreer> TimevalPtr;

void setResultCode(LDAP* ld, int rc) { ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &rc); }

typedef zevldap::ReadingSpan Reading;

int resultCode(LDAP* ld) {
  int rc = LDAP_OTHER;
  if (ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc) != LDAP_OPT_SUCCESS) return LDAP_OTHER;
  return rc;
}

// The cap on one incoming message: ZEV_LDAP_MAX_INCOMING bytes when that is a positive
// decimal number. We chose to fall back to the default for anything else (empty, junk, 0):
// the cap is a safety limit, and a typing error should not switch it off or stop every
// connection.
ber_len_t maxIncoming() {
  const char* text = std::getenv("ZEV_LDAP_MAX_INCOMING");
  if (text == nullptr || *text < '0' || *text > '9') return kDefaultMaxIncoming;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || value > static_cast<ber_len_t>(-1) / 2) {
    return kDefaultMaxIncoming;
  }
  return static_cast<ber_len_t>(value);
}

bool isValidTimeval(const struct timeval* tv) {
  return tv->tv_sec >= 0 && tv->tv_usec >= 0 && tv->tv_usec < 1000000;
}

// Waits for the answer to one request, at most the session's connect timeout when one is set.
// An answer that does not come in time is abandoned and gives LDAP_TIMEOUT. Returns
// OpenLDAP's code; the session's result code agrees with it.
int awaitResult(LDAP* ld, int msgid, const char* operation, const char* dn) {
  struct timeval limit;
  bool bounded = zevldap::connectTimeout(ld, &limit);
  LDAPMessage* answer = nullptr;
  Reading reading(bounded ? &limit : nullptr);
  int rc = ldap_result(ld, msgid, LDAP_MSG_ALL, bounded ? &limit : nullptr, &answer);
  if (rc == 0) {
    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    setResultCode(ld, LDAP_TIMEOUT);
    return LDAP_TIMEOUT;
  }
  if (rc < 0) {
    int err = resultCode(ld);
    if (err == LDAP_SUCCESS) err = LDAP_SERVER_DOWN;
    return zevldap::nameTLSFailure(ld, zevldap::namedIncomingFailure(ld, err));
  }
  int err = LDAP_OTHER;
  char* matched = nullptr;
  char* diagnostic = nullptr;
  char** referrals = nullptr;
  int parsed = ldap_parse_result(ld, answer, &err, &matched, &diagnostic, &referrals, nullptr, 1);
  if (parsed == LDAP_SUCCESS && err != LDAP_SUCCESS) {
    zevldap::noteAnswer(operation, dn, err, matched, diagnostic, referrals, "");
  }
  ldap_memfree(matched);
  ldap_memfree(diagnostic);
  ldap_memvfree(reinterpret_cast<void**>(referrals));
  if (parsed != LDAP_SUCCESS) return parsed;
  setResultCode(ld, err);
  return err;
}

// Before an operation that talks to the server: the previous call's detail is dropped and
// StartTLS runs when the session asks for it. Returns 0 or the code that stops the operation.
int prepare(LDAP* ld) {
  zevldap::clearDetail();
  return zevldap::ensureTLS(ld);
}

// The page size of new sessions: ZEV_LDAP_PAGE_SIZE when it is a decimal number from 0 (no
// paging) to 1000000; anything else keeps the default, as for the incoming cap.
int defaultPageSize() {
  const char* text = std::getenv("ZEV_LDAP_PAGE_SIZE");
  if (text == nullptr || *text < '0' || *text > '9') return kDefaultPageSize;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 1000000) return kDefaultPageSize;
  return static_cast<int>(value);
}

// An operation that was not even sent: report the code and keep the session's code in step.
int sendFailed(LDAP* ld, int rc) {
  setResultCode(ld, rc);
  return rc;
}

// Opens a session with our defaults. We chose LDAPv3 (OpenLDAP's library default is v2 for
// historical reasons; option 17 changes it) and no automatic referral chasing, so that every
// connection the library makes has the timeouts and the incoming cap set here.
LDAP* openSession(const char* host, int port) {
  std::string uris;
  zevldap::HostRequest request;
  if (!zevldap::hostsToUriList(host, port, &uris, &request)) {
    errno = EINVAL;
    return nullptr;
  }
  LDAP* raw = nullptr;
  if (ldap_initialize(&raw, uris.c_str()) != LDAP_SUCCESS || raw == nullptr) return nullptr;
  SessionPtr session(raw);
  int version = LDAP_VERSION3;
  if (ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS) {
    return nullptr;
  }
  // The session's own sockbuf serves its default connection, the only one it opens.
  Sockbuf* sockbuf = nullptr;
  if (ldap_get_option(raw, LDAP_OPT_SOCKBUF, &sockbuf) != LDAP_OPT_SUCCESS || sockbuf == nullptr) {
    return nullptr;
  }
  ber_len_t cap = maxIncoming();
  if (ber_sockbuf_ctrl(sockbuf, LBER_SB_OPT_SET_MAX_INCOMING, &cap) != 1) return nullptr;
  if (ldap_set_option(raw, LDAP_OPT_CONNECT_CB, zevldap::readLayerCallbacks()) != LDAP_OPT_SUCCESS) {
    return nullptr;
  }
  zevldap::SessionState state;
  state.startTLS = static_cast<zevldap::StartTLS>(request.startTLS);
  state.ldaps = request.ldaps;
  state.server = request.server;
  state.pageSize = defaultPageSize();
  zevldap::rememberSession(raw, state);
  return session.release();
}

// Closes a session that this library opened, and forgets what it kept about it.
int closeSession(LDAP* ld) {
  zevldap::forgetSession(ld);
  return ldap_unbind_ext(ld, nullptr, nullptr);
}

int urlSearch(LDAP* ld, const char* url, int attrsonly, struct timeval* timeout,
              LDAPMessage** result) {
  zevldap::clearDetail();
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(url, &parsed) != LDAP_URL_SUCCESS || parsed == nullptr) {
    if (ld != nullptr) setResultCode(ld, LDAP_PARAM_ERROR);
    return LDAP_PARAM_ERROR;
  }
  UrlDescPtr description(parsed);
  // StartTLS is the only extension known; another critical one must not be ignored.
  int startTLS = 0;
  for (char** e = description->lud_exts; e != nullptr && *e != nullptr; ++e) {
    std::string name = **e == '!' ? *e + 1 : *e;
    name = name.substr(0, name.find('='));
    if (strcasecmp(name.c_str(), "StartTLS") == 0 || name == LDAP_EXOP_START_TLS) {
      startTLS = **e == '!' ? 2 : 1;
    } else if (**e == '!') {
      if (ld != nullptr) setResultCode(ld, LDAP_NOT_SUPPORTED);
      return LDAP_NOT_SUPPORTED;
    }
  }
  bool namesServer = description->lud_host != nullptr && description->lud_host[0] != '\0';
  // Design choice: a URL that names the session's own server (same host and port; the
  // session talks to that one server) is searched on the session, with its login, as is a
  // URL without a host. Only another server gets a fresh anonymous connection. A URL that
  // asks for StartTLS when the session has none gets its own connection too.
  if (namesServer && ld != nullptr) {
    zevldap::SessionState state = zevldap::sessionState(ld);
    bool tlsCovered = startTLS == 0 || state.ldaps || static_cast<int>(state.startTLS) >= startTLS;
    if (!state.server.empty() && state.server == zevldap::serverKey(*description) && tlsCovered) {
      namesServer = false;
      zevldap::trace(__LINE__, std::string("URL search on the session's own server: ") + url);
    }
  }
  SessionPtr side;
  LDAP* target = ld;
  if (namesServer) {
    // A fresh anonymous LDAPv3 connection to the URL's server, with the caller's connect
    // timeout. The result message does not point into the connection that received it (it
    // owns its BER buffer), so the side connection is closed right after the search and the
    // caller walks and frees the message with its own session.
    side.reset(openSession(url, 0));
    if (!side) {
      if (ld != nullptr) setResultCode(ld, LDAP_PARAM_ERROR);
      return LDAP_PARAM_ERROR;
    }
    struct timeval limit;
    if (ld != nullptr && zevldap::connectTimeout(ld, &limit)) {
      ldap_set_option(side.get(), LDAP_OPT_NETWORK_TIMEOUT, &limit);
    }
    target = side.get();
  } else if (ld == nullptr) {
    return LDAP_PARAM_ERROR;
  }
  int scope =
      description->lud_scope == LDAP_SCOPE_DEFAULT ? LDAP_SCOPE_BASE : description->lud_scope;
  const char* filter = description->lud_filter != nullptr && description->lud_filter[0] != '\0'
                           ? description->lud_filter
                           : "(objectClass=*)";
  const char* base = description->lud_dn != nullptr ? description->lud_dn : "";
  int rc = zevldap::runSearch(target, base, scope, filter, description->lud_attrs, attrsonly,
                              timeout, result);
  if (ld != nullptr && target != ld) setResultCode(ld, rc);
  return rc;
}

}  // namespace

namespace {

int setTrustAnchor(int option, const char* path) {
  zevldap::clearDetail();
  if (ldap_set_option(nullptr, option, path) != LDAP_OPT_SUCCESS) {
    return classicCode(LDAP_PARAM_ERROR);
  }
  int server = 0;
  if (ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &server) != LDAP_OPT_SUCCESS) {
    zevldap::setDetail(LDAP_PARAM_ERROR, std::string("the TLS trust anchors in ") +
                                             (path != nullptr ? path : "(none)") +
                                             " cannot be used");
    return classicCode(LDAP_PARAM_ERROR);
  }
  return LDAP_SUCCESS;
}

}  // namespace

ZEV_LDAP_EXPORT LDAP* zev_ldap_init(const char* host, int port) {
  try {
    return openSession(host, port);
  } catch (...) {
    return nullptr;
  }
}

// Returns the type of the last message freed (not a result code, so not mapped).
// A result of several pages is freed whole.
ZEV_LDAP_EXPORT int zev_ldap_msgfree(LDAPMessage* msg) {
  if (msg == nullptr) return 0;
  return zevldap::freeResult(msg);
}

// The text of ZEV_LDAP_INCOMING_TOO_LARGE names the last message refused in this process and
// the cap it was over (or the cap that sessions opened now get, before any refusal). It is
// built in a buffer of the calling thread, valid until that thread's next call for this code.
namespace {
char* oversizedText() {
  thread_local char text[256];
  uint64_t length = 0, cap = 0;
  if (!zevldap::lastOversized(&length, &cap)) cap = maxIncoming();
  if (length != 0) {
    std::snprintf(text, sizeof text,
                  "Incoming message of %" PRIu64 " bytes is over the cap of %" PRIu64
                  " bytes; raise ZEV_LDAP_MAX_INCOMING (bytes) to accept it",
                  length, cap);
  } else {
    std::snprintf(text, sizeof text,
                  "Incoming message over the cap of %" PRIu64
                  " bytes; raise ZEV_LDAP_MAX_INCOMING (bytes) to accept it",
                  cap);
  }
  return text;
}
}  // namespace

// The code's text, followed by the detail of this thread's last failed call when that call
// failed with this code (the server's diagnostic message, the matched DN, referral URLs, how
// many entries of a cut answer arrived, the TLS reason).
ZEV_LDAP_EXPORT char* zev_ldap_err2string(int code) {
  if (code == ZEV_LDAP_INCOMING_TOO_LARGE) return oversizedText();
  try {
    return const_cast<char*>(zevldap::describe(code, openldapCode(code)));
  } catch (...) {
    return ldap_err2string(openldapCode(code));
  }
}

// 17 is the protocol version; 70 (the toolkit's connect-timeout option) and 20485 (OpenLDAP's
// network timeout) both set the connect timeout, which also bounds binds and modifications.
// Other options go to OpenLDAP unchanged (a null session sets a global option there).
// OpenLDAP answers an option it refuses with LDAP_OPT_ERROR (-1), which is no "server down":
// that is reported as 89, parameter error.
ZEV_LDAP_EXPORT int zev_ldap_set_option(LDAP* ld, int option, const void* value) {
  if (option == kOptionPageSize) {
    const int* size = static_cast<const int*>(value);
    if (ld == nullptr || size == nullptr || *size < 0 || *size > 1000000) {
      return classicCode(LDAP_PARAM_ERROR);
    }
    zevldap::SessionState state = zevldap::sessionState(ld);
    state.pageSize = *size;
    zevldap::rememberSession(ld, state);
    return LDAP_SUCCESS;
  }
  if (ld == nullptr &&
      (option == LDAP_OPT_X_TLS_CACERTFILE || option == LDAP_OPT_X_TLS_CACERTDIR)) {
    return setTrustAnchor(option, static_cast<const char*>(value));
  }
  if (option == 70 || option == LDAP_OPT_NETWORK_TIMEOUT) {
    if (value == nullptr || !isValidTimeval(static_cast<const struct timeval*>(value))) {
      return classicCode(LDAP_PARAM_ERROR);
    }
    option = LDAP_OPT_NETWORK_TIMEOUT;
  }
  int rc = ldap_set_option(ld, option, value);
  return rc == LDAP_OPT_SUCCESS ? LDAP_SUCCESS : classicCode(LDAP_PARAM_ERROR);
}

// The process-wide trust anchors (a CA file or folder) for the sessions opened after this.
// The TLS context is made again at once, so that a changed setting takes effect and a file
// that cannot be used is reported here (89, with OpenSSL's reason as the detail) rather than
// as a failed handshake later.
// A simple bind that waits at most the connect timeout for its answer.
ZEV_LDAP_EXPORT int zev_ldap_simple_bind_s(LDAP* ld, const char* dn, const char* password) {
  if (ld == nullptr) return classicCode(LDAP_PARAM_ERROR);
  struct berval credentials;
  credentials.bv_val = const_cast<char*>(password != nullptr ? password : "");
  credentials.bv_len = password != nullptr ? std::char_traits<char>::length(password) : 0;
  int rc = prepare(ld);
  if (rc != LDAP_SUCCESS) return classicCode(rc);
  int msgid = -1;
  rc = ldap_sasl_bind(ld, dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(zevldap::nameTLSFailure(ld, sendFailed(ld, rc)));
  return classicCode(awaitResult(ld, msgid, "bind", dn));
}

ZEV_LDAP_EXPORT int zev_ldap_unbind(LDAP* ld) {
  if (ld == nullptr) return classicCode(LDAP_PARAM_ERROR);
  return classicCode(closeSession(ld));
}

// The time limit goes to the server as its time limit and bounds the wait in the client.
ZEV_LDAP_EXPORT int zev_ldap_search_st(LDAP* ld, const char* base, int scope, const char* filter,
                                       char** attrs, int attrsonly, struct timeval* timeout,
                                       LDAPMessage** result) {
  if (result != nullptr) *result = nullptr;
  if (ld == nullptr || result == nullptr || (timeout != nullptr && !isValidTimeval(timeout))) {
    return classicCode(LDAP_PARAM_ERROR);
  }
  try {
    return classicCode(
        zevldap::runSearch(ld, base, scope, filter, attrs, attrsonly, timeout, result));
  } catch (const std::bad_alloc&) {
    return classicCode(LDAP_NO_MEMORY);
  }
}

ZEV_LDAP_EXPORT int zev_ldap_url_search_st(LDAP* ld, const char* url, int attrsonly,
                                           struct timeval* timeout, LDAPMessage** result) {
  if (result != nullptr) *result = nullptr;
  if (url == nullptr || result == nullptr || (timeout != nullptr && !isValidTimeval(timeout))) {
    return classicCode(LDAP_PARAM_ERROR);
  }
  try {
    return classicCode(urlSearch(ld, url, attrsonly, timeout, result));
  } catch (const std::bad_alloc&) {
    return classicCode(LDAP_NO_MEMORY);
  } catch (...) {
    return classicCode(LDAP_LOCAL_ERROR);
  }
}

// Returns OpenLDAP's URL parse code (0 on success; 1 .. 10 name what is wrong).
ZEV_LDAP_EXPORT int zev_ldap_url_parse(const char* url, LDAPURLDesc** description) {
  if (description != nullptr) *description = nullptr;
  if (url == nullptr || description == nullptr) return LDAP_URL_ERR_PARAM;
  return ldap_url_parse(url, description);
}

ZEV_LDAP_EXPORT void zev_ldap_free_urldesc(LDAPURLDesc* description) {
  if (description != nullptr) ldap_free_urldesc(description);
}

// A count, or -1 when the arguments are unusable.
ZEV_LDAP_EXPORT int zev_ldap_count_entries(LDAP* ld, LDAPMessage* result) {
  if (ld == nullptr) return -1;
  if (result == nullptr) return 0;
  return zevldap::countEntries(ld, result);
}

// Modifications wait for their answer at most the connect timeout too: we chose that bound
// because these calls follow a bind on the same session and should not hang either.
ZEV_LDAP_EXPORT int zev_ldap_add_s(LDAP* ld, const char* dn, LDAPMod** mods) {
  if (ld == nullptr || dn == nullptr || mods == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int rc = prepare(ld);
  if (rc != LDAP_SUCCESS) return classicCode(rc);
  int msgid = -1;
  rc = ldap_add_ext(ld, dn, mods, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(zevldap::nameTLSFailure(ld, sendFailed(ld, rc)));
  return classicCode(awaitResult(ld, msgid, "add", dn));
}

ZEV_LDAP_EXPORT int zev_ldap_delete_s(LDAP* ld, const char* dn) {
  if (ld == nullptr || dn == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int rc = prepare(ld);
  if (rc != LDAP_SUCCESS) return classicCode(rc);
  int msgid = -1;
  rc = ldap_delete_ext(ld, dn, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(zevldap::nameTLSFailure(ld, sendFailed(ld, rc)));
  return classicCode(awaitResult(ld, msgid, "delete", dn));
}

ZEV_LDAP_EXPORT int zev_ldap_modify_s(LDAP* ld, const char* dn, LDAPMod** mods) {
  if (ld == nullptr || dn == nullptr || mods == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int rc = prepare(ld);
  if (rc != LDAP_SUCCESS) return classicCode(rc);
  int msgid = -1;
  rc = ldap_modify_ext(ld, dn, mods, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(zevldap::nameTLSFailure(ld, sendFailed(ld, rc)));
  return classicCode(awaitResult(ld, msgid, "modify", dn));
}

// Renames within the same parent; deleteoldrdn non-zero removes the old naming value.
ZEV_LDAP_EXPORT int zev_ldap_modrdn_s(LDAP* ld, const char* dn, const char* newrdn,
                                      int deleteoldrdn) {
  if (ld == nullptr || dn == nullptr || newrdn == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int rc = prepare(ld);
  if (rc != LDAP_SUCCESS) return classicCode(rc);
  int msgid = -1;
  rc = ldap_rename(ld, dn, newrdn, nullptr, deleteoldrdn != 0 ? 1 : 0, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(zevldap::nameTLSFailure(ld, sendFailed(ld, rc)));
  return classicCode(awaitResult(ld, msgid, "rename", dn));
}

ZEV_LDAP_EXPORT LDAPMessage* zev_ldap_first_entry(LDAP* ld, LDAPMessage* result) {
  if (ld == nullptr || result == nullptr) return nullptr;
  return zevldap::firstEntry(ld, result);
}

ZEV_LDAP_EXPORT LDAPMessage* zev_ldap_next_entry(LDAP* ld, LDAPMessage* entry) {
  if (ld == nullptr || entry == nullptr) return nullptr;
  return zevldap::nextEntry(ld, entry);
}

ZEV_LDAP_EXPORT char* zev_ldap_get_dn(LDAP* ld, LDAPMessage* entry) {
  if (ld == nullptr || entry == nullptr) return nullptr;
  return ldap_get_dn(ld, entry);
}

ZEV_LDAP_EXPORT void zev_ldap_memfree(void* p) {
  if (p != nullptr) ldap_memfree(p);
}

// LDAPv3 servers send attributes of binary syntaxes (certificates, revocation lists) with the
// ";binary" transfer option, whatever name the request used: "cACertificate" comes back as
// "cACertificate;binary". Callers of the classic interface look values up under the name they
// asked for, so the walk reports the description without that option (the name is cut in
// place: it is still freed with ldap_memfree), and zev_ldap_get_values_len finds the values
// under either form.
namespace {

const char kBinaryOption[] = ";binary";

char* withoutBinaryOption(char* name) {
  if (name == nullptr) return name;
  size_t length = std::strlen(name);
  size_t option = sizeof(kBinaryOption) - 1;
  if (length > option && strcasecmp(name + length - option, kBinaryOption) == 0) {
    name[length - option] = '\0';
  }
  return name;
}

}  // namespace

ZEV_LDAP_EXPORT char* zev_ldap_first_attribute(LDAP* ld, LDAPMessage* entry, BerElement** ber) {
  if (ber != nullptr) *ber = nullptr;
  if (ld == nullptr || entry == nullptr || ber == nullptr) return nullptr;
  return withoutBinaryOption(ldap_first_attribute(ld, entry, ber));
}

ZEV_LDAP_EXPORT char* zev_ldap_next_attribute(LDAP* ld, LDAPMessage* entry, BerElement* ber) {
  if (ld == nullptr || entry == nullptr || ber == nullptr) return nullptr;
  return withoutBinaryOption(ldap_next_attribute(ld, entry, ber));
}

namespace {

// The values of the attribute named attr (the whole description, any case) in entry, or null.
// Design: the values are not copied. They point into the entry's message, which holds them
// already; only the array is allocated, in one block that zev_ldap_value_free_len frees. A
// certificate or revocation list of tens of megabytes so exists once here, not twice. The
// values stay valid until the message is freed, which callers of this classic interface do
// after freeing the values.
struct berval** valuesInPlace(LDAP* ld, LDAPMessage* entry, const char* attr) {
  BerElement* ber = nullptr;
  struct berval dn = {0, nullptr};
  if (ldap_get_dn_ber(ld, entry, &ber, &dn) != LDAP_SUCCESS || ber == nullptr) {
    if (ber != nullptr) ber_free(ber, 0);
    return nullptr;
  }
  const size_t wanted = std::strlen(attr);
  struct berval** result = nullptr;
  for (;;) {
    struct berval name = {0, nullptr};
    BerVarray values = nullptr;
    if (ldap_get_attribute_ber(ld, entry, ber, &name, &values) != LDAP_SUCCESS ||
        name.bv_val == nullptr) {
      ber_memfree(values);
      break;
    }
    if (name.bv_len == wanted && strncasecmp(name.bv_val, attr, wanted) == 0) {
      size_t n = 0;
      while (values != nullptr && values[n].bv_val != nullptr) ++n;
      if (n > 0) {
        // [n + 1 pointers][n bervals], one allocation.
        void* block = std::malloc((n + 1) * sizeof(struct berval*) + n * sizeof(struct berval));
        if (block != nullptr) {
          result = static_cast<struct berval**>(block);
          struct berval* cells = reinterpret_cast<struct berval*>(result + n + 1);
          for (size_t i = 0; i < n; ++i) {
            cells[i] = values[i];
            result[i] = &cells[i];
          }
          result[n] = nullptr;
        }
      }
      ber_memfree(values);
      break;
    }
    ber_memfree(values);
  }
  ber_free(ber, 0);
  return result;
}

}  // namespace

ZEV_LDAP_EXPORT struct berval** zev_ldap_get_values_len(LDAP* ld, LDAPMessage* entry,
                                                        const char* attr) {
  if (ld == nullptr || entry == nullptr || attr == nullptr) return nullptr;
  // A lookup that finds nothing records a decoding error in the session, as libldap's own
  // does; a lookup that then finds the values under the ";binary" form leaves no error behind.
  int before = LDAP_SUCCESS;
  ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &before);
  struct berval** values = valuesInPlace(ld, entry, attr);
  if (values == nullptr && std::strchr(attr, ';') == nullptr) {
    // The name may have come from the walk with its ";binary" option dropped.
    try {
      values = valuesInPlace(ld, entry, (std::string(attr) + kBinaryOption).c_str());
    } catch (const std::bad_alloc&) {
      values = nullptr;
    }
  }
  int rc = values != nullptr ? before : LDAP_DECODING_ERROR;
  ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &rc);
  return values;
}

ZEV_LDAP_EXPORT void zev_ldap_value_free_len(struct berval** values) {
  std::free(values);  // one block; the values belong to the message (see valuesInPlace)
}

// The session's last result code, in its classic form.
ZEV_LDAP_EXPORT int zev_ldap_get_errno(LDAP* ld) {
  if (ld == nullptr) return classicCode(LDAP_PARAM_ERROR);
  return classicCode(resultCode(ld));
}

// Frees an attribute walk state. The only BerElements this library hands out are the walk
// states of zev_ldap_first_attribute, and their buffer is the entry's (OpenLDAP copies the
// entry's reader into them). Freeing that buffer here would free it a second time with the
// result message, so freebuf is accepted for the classic signature and the buffer is always
// left to the message.
ZEV_LDAP_EXPORT void zev_ldap_ber_free(BerElement* ber, int /*freebuf*/) {
  if (ber != nullptr) ber_free(ber, 0);
}
