// libzev9ldap: the client table's functions under "zev_" names, over OpenLDAP's libldap.
//
// Sessions and messages are OpenLDAP's own handles, passed through unchanged; what this layer
// adds is the classic result codes, the host forms of zev_ldap_init, bounded waits, the cap on
// incoming messages and URL searches against the server that the URL names.
#include <lber.h>
#include <ldap.h>

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "hosts.h"

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

// The inverse, for the texts: OpenLDAP only knows its negative forms.
int openldapCode(int code) {
  if (code >= 81 && code <= 97) return 80 - code;
  return code;
}

constexpr ber_len_t kDefaultMaxIncoming = 256UL * 1024 * 1024;

struct SessionCloser {
  void operator()(LDAP* ld) const { ldap_unbind_ext(ld, nullptr, nullptr); }
};
typedef std::unique_ptr<LDAP, SessionCloser> SessionPtr;

struct UrlDescFreer {
  void operator()(LDAPURLDesc* description) const { ldap_free_urldesc(description); }
};
typedef std::unique_ptr<LDAPURLDesc, UrlDescFreer> UrlDescPtr;

struct MemFreer {
  void operator()(void* p) const { ldap_memfree(p); }
};
typedef std::unique_ptr<struct timeval, MemFreer> TimevalPtr;

void setResultCode(LDAP* ld, int rc) { ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &rc); }

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

// The connect timeout remembered in the session itself (LDAP_OPT_NETWORK_TIMEOUT), so the
// calls that wait for an answer can be bounded by it. False when none is set.
bool connectTimeout(LDAP* ld, struct timeval* limit) {
  struct timeval* stored = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &stored) != LDAP_OPT_SUCCESS) return false;
  TimevalPtr holder(stored);
  if (stored == nullptr || stored->tv_sec < 0) return false;
  if (stored->tv_sec == 0 && stored->tv_usec == 0) return false;
  *limit = *stored;
  return true;
}

bool isValidTimeval(const struct timeval* tv) {
  return tv->tv_sec >= 0 && tv->tv_usec >= 0 && tv->tv_usec < 1000000;
}

// Waits for the answer to one request, at most the session's connect timeout when one is set.
// An answer that does not come in time is abandoned and gives LDAP_TIMEOUT. Returns
// OpenLDAP's code; the session's result code agrees with it.
int awaitResult(LDAP* ld, int msgid) {
  struct timeval limit;
  bool bounded = connectTimeout(ld, &limit);
  LDAPMessage* answer = nullptr;
  int rc = ldap_result(ld, msgid, LDAP_MSG_ALL, bounded ? &limit : nullptr, &answer);
  if (rc == 0) {
    ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    setResultCode(ld, LDAP_TIMEOUT);
    return LDAP_TIMEOUT;
  }
  if (rc < 0) {
    int err = resultCode(ld);
    return err == LDAP_SUCCESS ? LDAP_SERVER_DOWN : err;
  }
  int err = LDAP_OTHER;
  int parsed = ldap_parse_result(ld, answer, &err, nullptr, nullptr, nullptr, nullptr, 1);
  if (parsed != LDAP_SUCCESS) return parsed;
  setResultCode(ld, err);
  return err;
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
  if (!zevldap::hostsToUriList(host, port, &uris)) {
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
  return session.release();
}

int search(LDAP* ld, const char* base, int scope, const char* filter, char** attrs, int attrsonly,
           struct timeval* timeout, LDAPMessage** result) {
  // A zero time limit means none, as for the server's own time limit.
  if (timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_usec == 0) timeout = nullptr;
  return ldap_search_ext_s(ld, base, scope, filter, attrs, attrsonly, nullptr, nullptr, timeout,
                           LDAP_NO_LIMIT, result);
}

int urlSearch(LDAP* ld, const char* url, int attrsonly, struct timeval* timeout,
              LDAPMessage** result) {
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(url, &parsed) != LDAP_URL_SUCCESS || parsed == nullptr) {
    if (ld != nullptr) setResultCode(ld, LDAP_PARAM_ERROR);
    return LDAP_PARAM_ERROR;
  }
  UrlDescPtr description(parsed);
  // No extension is supported; a critical one must not be ignored.
  if (description->lud_crit_exts > 0) {
    if (ld != nullptr) setResultCode(ld, LDAP_NOT_SUPPORTED);
    return LDAP_NOT_SUPPORTED;
  }
  bool namesServer = description->lud_host != nullptr && description->lud_host[0] != '\0';
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
    if (ld != nullptr && connectTimeout(ld, &limit)) {
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
  int rc = search(target, base, scope, filter, description->lud_attrs, attrsonly, timeout, result);
  if (ld != nullptr && target != ld) setResultCode(ld, rc);
  return rc;
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
ZEV_LDAP_EXPORT int zev_ldap_msgfree(LDAPMessage* msg) {
  if (msg == nullptr) return 0;
  return ldap_msgfree(msg);
}

ZEV_LDAP_EXPORT char* zev_ldap_err2string(int code) { return ldap_err2string(openldapCode(code)); }

// 17 is the protocol version; 70 (the toolkit's connect-timeout option) and 20485 (OpenLDAP's
// network timeout) both set the connect timeout, which also bounds binds and modifications.
// Other options go to OpenLDAP unchanged (a null session sets a global option there).
// OpenLDAP answers an option it refuses with LDAP_OPT_ERROR (-1), which is no "server down":
// that is reported as 89, parameter error.
ZEV_LDAP_EXPORT int zev_ldap_set_option(LDAP* ld, int option, const void* value) {
  if (option == 70 || option == LDAP_OPT_NETWORK_TIMEOUT) {
    if (value == nullptr || !isValidTimeval(static_cast<const struct timeval*>(value))) {
      return classicCode(LDAP_PARAM_ERROR);
    }
    option = LDAP_OPT_NETWORK_TIMEOUT;
  }
  int rc = ldap_set_option(ld, option, value);
  return rc == LDAP_OPT_SUCCESS ? LDAP_SUCCESS : classicCode(LDAP_PARAM_ERROR);
}

// A simple bind that waits at most the connect timeout for its answer.
ZEV_LDAP_EXPORT int zev_ldap_simple_bind_s(LDAP* ld, const char* dn, const char* password) {
  if (ld == nullptr) return classicCode(LDAP_PARAM_ERROR);
  struct berval credentials;
  credentials.bv_val = const_cast<char*>(password != nullptr ? password : "");
  credentials.bv_len = password != nullptr ? std::char_traits<char>::length(password) : 0;
  int msgid = -1;
  int rc = ldap_sasl_bind(ld, dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(sendFailed(ld, rc));
  return classicCode(awaitResult(ld, msgid));
}

ZEV_LDAP_EXPORT int zev_ldap_unbind(LDAP* ld) {
  if (ld == nullptr) return classicCode(LDAP_PARAM_ERROR);
  return classicCode(ldap_unbind_ext(ld, nullptr, nullptr));
}

// The time limit goes to the server as its time limit and bounds the wait in the client.
ZEV_LDAP_EXPORT int zev_ldap_search_st(LDAP* ld, const char* base, int scope, const char* filter,
                                       char** attrs, int attrsonly, struct timeval* timeout,
                                       LDAPMessage** result) {
  if (result != nullptr) *result = nullptr;
  if (ld == nullptr || result == nullptr || (timeout != nullptr && !isValidTimeval(timeout))) {
    return classicCode(LDAP_PARAM_ERROR);
  }
  return classicCode(search(ld, base, scope, filter, attrs, attrsonly, timeout, result));
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
  return ldap_count_entries(ld, result);
}

// Modifications wait for their answer at most the connect timeout too: we chose that bound
// because these calls follow a bind on the same session and should not hang either.
ZEV_LDAP_EXPORT int zev_ldap_add_s(LDAP* ld, const char* dn, LDAPMod** mods) {
  if (ld == nullptr || dn == nullptr || mods == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int msgid = -1;
  int rc = ldap_add_ext(ld, dn, mods, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(sendFailed(ld, rc));
  return classicCode(awaitResult(ld, msgid));
}

ZEV_LDAP_EXPORT int zev_ldap_delete_s(LDAP* ld, const char* dn) {
  if (ld == nullptr || dn == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int msgid = -1;
  int rc = ldap_delete_ext(ld, dn, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(sendFailed(ld, rc));
  return classicCode(awaitResult(ld, msgid));
}

ZEV_LDAP_EXPORT int zev_ldap_modify_s(LDAP* ld, const char* dn, LDAPMod** mods) {
  if (ld == nullptr || dn == nullptr || mods == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int msgid = -1;
  int rc = ldap_modify_ext(ld, dn, mods, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(sendFailed(ld, rc));
  return classicCode(awaitResult(ld, msgid));
}

// Renames within the same parent; deleteoldrdn non-zero removes the old naming value.
ZEV_LDAP_EXPORT int zev_ldap_modrdn_s(LDAP* ld, const char* dn, const char* newrdn,
                                      int deleteoldrdn) {
  if (ld == nullptr || dn == nullptr || newrdn == nullptr) return classicCode(LDAP_PARAM_ERROR);
  int msgid = -1;
  int rc =
      ldap_rename(ld, dn, newrdn, nullptr, deleteoldrdn != 0 ? 1 : 0, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return classicCode(sendFailed(ld, rc));
  return classicCode(awaitResult(ld, msgid));
}

ZEV_LDAP_EXPORT LDAPMessage* zev_ldap_first_entry(LDAP* ld, LDAPMessage* result) {
  if (ld == nullptr || result == nullptr) return nullptr;
  return ldap_first_entry(ld, result);
}

ZEV_LDAP_EXPORT LDAPMessage* zev_ldap_next_entry(LDAP* ld, LDAPMessage* entry) {
  if (ld == nullptr || entry == nullptr) return nullptr;
  return ldap_next_entry(ld, entry);
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

ZEV_LDAP_EXPORT struct berval** zev_ldap_get_values_len(LDAP* ld, LDAPMessage* entry,
                                                        const char* attr) {
  if (ld == nullptr || entry == nullptr || attr == nullptr) return nullptr;
  // A lookup that finds nothing records a decoding error in the session; a lookup that then
  // finds the values under the ";binary" form must not leave that error behind.
  int before = LDAP_SUCCESS;
  ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &before);
  struct berval** values = ldap_get_values_len(ld, entry, attr);
  if (values == nullptr && std::strchr(attr, ';') == nullptr) {
    // The name may have come from the walk with its ";binary" option dropped.
    try {
      values = ldap_get_values_len(ld, entry, (std::string(attr) + kBinaryOption).c_str());
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    if (values != nullptr) ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &before);
  }
  return values;
}

ZEV_LDAP_EXPORT void zev_ldap_value_free_len(struct berval** values) {
  if (values != nullptr) ldap_value_free_len(values);
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
