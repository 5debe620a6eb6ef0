// LDAPClient: loading and binding of the LDAP library, the session, searching and walking,
// entry modification; and the attribute-map helpers shared by every user of attribute maps.
#include "ldapclient.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>

#include "zevcms.h"

namespace zev09000003 {

namespace {

const char kFile[] = "./zuzeder/src/ldapclient";
const unsigned int kComponent = 256;
const unsigned int kLevel = 1;

const long kErrLibrary = 576001;     // 0x8CA01
const long kErrSession = 576002;     // 0x8CA02
const long kErrSearch = 576004;      // 0x8CA04
const long kErrBindDenied = 576009;  // 0x8CA09

const int kOptionProtocolVersion = LDAP_OPT_PROTOCOL_VERSION;  // 17
const int kOptionConnectTimeout = LDAP_OPT_CONNECT_TIMEOUT;    // 70

bool tracing() { return ZEVTrace::globalTrace().isActive(kComponent, kLevel); }

void trace(int line, const std::string& text) {
  ZEVTrace::globalTrace().write(kFile, line, kComponent, kLevel, text);
}

// Texts from outside (DNs, library messages) may be null; they are written as nothing.
const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }
const char* orNull(const char* text) { return text != nullptr ? text : "null"; }

// Case-insensitive comparison of two texts, as the runtime's _stricmp (both sides folded to
// lower case byte by byte), written out so that the plug-in needs no POSIX call.
int compareIgnoreCase(const char* a, const char* b) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
  for (;; ++p, ++q) {
    int x = std::tolower(*p);
    int y = std::tolower(*q);
    if (x != y || x == 0) return x - y;
  }
}

bool isUriHost(const ZEVConstString& host) {
  return host.compare("URI") == 0 || host.compare("uri") == 0;
}

bool isTextBytes(const unsigned char* data, std::size_t length) {
  if (length == 0) return true;
  if (data == nullptr) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (!std::isprint(data[i]) && !std::isspace(data[i])) return false;
  }
  return true;
}

// Number of bytes before the first zero byte, at most length.
std::size_t textLength(const unsigned char* data, std::size_t length) {
  if (data == nullptr) return 0;
  const void* zero = std::memchr(data, 0, length);
  return zero != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - data)
                         : length;
}

// Frees a modification array and everything it owns; safe on a partly built one (every slot
// not yet filled is null).
void freeMods(LDAPMod** mods) {
  if (mods == nullptr) return;
  for (LDAPMod** record = mods; *record != nullptr; ++record) {
    if ((*record)->mod_bvalues != nullptr) {
      for (berval** value = (*record)->mod_bvalues; *value != nullptr; ++value) delete *value;
      delete[](*record)->mod_bvalues;
    }
    delete *record;
  }
  delete[] mods;
}

// How a function of the table is treated when the library lacks it.
enum class Need { kRequired, kOptional, kWarned };

struct SymbolEntry {
  const char* name;
  std::size_t offset;
  Need need;
  const char* missing;  // the trace text when it is not found
};

#define ZEV_SYMBOL(name, need, missing) \
  { #name, offsetof(LDAPSymbolTable, name), need, missing }

// Lookup order: the table's order, except that ldap_ber_free comes before ldap_get_errno.
const SymbolEntry kSymbols[] = {
    ZEV_SYMBOL(ldap_init, Need::kRequired, "ldap_init symbol not defined in library"),
    ZEV_SYMBOL(ldap_msgfree, Need::kRequired, "ldap_msgfree symbol not defined in library"),
    ZEV_SYMBOL(ldap_err2string, Need::kRequired, "ldap_err2string symbol not defined in library"),
    ZEV_SYMBOL(ldap_set_option, Need::kRequired, "ldap_set_option symbol not defined in library"),
    ZEV_SYMBOL(ldap_simple_bind_s, Need::kRequired,
               "ldap_simple_bind_s symbol not defined in library"),
    ZEV_SYMBOL(ldap_unbind, Need::kRequired, "ldap_unbind symbol not defined in library"),
    ZEV_SYMBOL(ldap_search_st, Need::kRequired, "ldap_search_st symbol not defined in library"),
    ZEV_SYMBOL(ldap_url_search_st, Need::kOptional, nullptr),
    ZEV_SYMBOL(ldap_url_parse, Need::kOptional, nullptr),
    ZEV_SYMBOL(ldap_free_urldesc, Need::kOptional, nullptr),
    ZEV_SYMBOL(ldap_count_entries, Need::kRequired,
               "ldap_count_entries  symbol not defined in library"),
    ZEV_SYMBOL(ldap_add_s, Need::kRequired, "ldap_add_s  symbol not defined in library"),
    ZEV_SYMBOL(ldap_delete_s, Need::kRequired, "ldap_delete_s  symbol not defined in library"),
    ZEV_SYMBOL(ldap_modify_s, Need::kRequired, "ldap_modify_s  symbol not defined in library"),
    ZEV_SYMBOL(ldap_modrdn_s, Need::kRequired, "ldap_modrdn_s  symbol not defined in library"),
    ZEV_SYMBOL(ldap_first_entry, Need::kRequired,
               "ldap_first_entry  symbol not defined in library"),
    ZEV_SYMBOL(ldap_next_entry, Need::kRequired, "ldap_next_entry  symbol not defined in library"),
    ZEV_SYMBOL(ldap_get_dn, Need::kRequired, "ldap_get_dn  symbol not defined in library"),
    ZEV_SYMBOL(ldap_memfree, Need::kRequired, "ldap_memfree  symbol not defined in library"),
    ZEV_SYMBOL(ldap_first_attribute, Need::kRequired,
               "ldap_first_attribute  symbol not defined in library"),
    ZEV_SYMBOL(ldap_next_attribute, Need::kRequired,
               "ldap_next_attribute  symbol not defined in library"),
    ZEV_SYMBOL(ldap_get_values_len, Need::kRequired,
               "ldap_get_values_len  symbol not defined in library"),
    ZEV_SYMBOL(ldap_value_free_len, Need::kRequired,
               "ldap_value_free_len  symbol not defined in library"),
    ZEV_SYMBOL(ldap_ber_free, Need::kWarned,
               "Warning: ldap_ber_free not defined in library - Window implementation?"),
    ZEV_SYMBOL(ldap_get_errno, Need::kWarned,
               "Warning: ldap_get_errno not defined in library - Window implementation?"),
};

#undef ZEV_SYMBOL

static_assert(sizeof(void*) == sizeof(ldap_init_fn),
              "function addresses are stored through data pointers");
static_assert(sizeof(kSymbols) / sizeof(kSymbols[0]) == 25, "one lookup per table field");

std::unique_ptr<struct timeval> makeTimeout(int seconds) {
  if (seconds <= 0) return nullptr;
  std::unique_ptr<struct timeval> t(new struct timeval);
  t->tv_sec = seconds;
  t->tv_usec = 0;
  return t;
}

// Shared by addEntry and modifyEntry: ldap_add_s and ldap_modify_s have one signature.
bool changeEntry(LDAP* session, ldap_add_s_fn call, int& lastResult, LDAPAttributeMap* attributes,
                 const char* dn, int op) {
  LdapModArray mods(attributes, op);
  std::string mapDN;
  if (dn == nullptr && attributes != nullptr) {
    // The first value of the "dn" group. It is copied up to its first zero byte within the
    // buffer, because a map read from LDIF stores its values without a terminator.
    LDAPAttributeMap::iterator it = attributes->lower_bound("dn");
    if (it != attributes->end() && compareIgnoreCase(it->first, "dn") == 0 &&
        it->second != nullptr) {
      mapDN.assign(reinterpret_cast<const char*>(it->second->getValue()),
                   textLength(it->second->getValue(), it->second->getLength()));
      dn = mapDN.c_str();
    }
  }
  if (tracing()) trace(__LINE__, orNull(dn));
  // Without a DN (no argument and no "dn" element) there is nothing to address: false, no
  // LDAP call, lastResult left as it was.
  if (dn == nullptr) return false;
  if (session == nullptr) return false;
  int rc = call(session, dn, mods.getMods());
  lastResult = rc;
  return rc == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Attribute maps

bool ltstr::operator()(const char* a, const char* b) const { return compareIgnoreCase(a, b) < 0; }

namespace {

// addAttribute's work: size bytes of value, and a zero byte after them when terminate.
void storeAttribute(LDAPAttributeMap* map, const char* name, const char* value, std::size_t size,
                    bool terminate) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "addAttribute");
  // A null name or map is bad input and adds nothing, like a null value.
  if (map == nullptr || name == nullptr || value == nullptr) return;
  char* key = nullptr;
  ZEVFastBuffer* buffer = nullptr;
  try {
    std::size_t nameLength = std::strlen(name);
    key = new char[nameLength + 1];
    std::memcpy(key, name, nameLength + 1);
    if (terminate) {
      buffer = new ZEVFastBuffer(size + 1, nullptr);  // zeros: the last one stays
      if (size != 0) std::memcpy(buffer->getValue(), value, size);
    } else {
      buffer = new ZEVFastBuffer(size, value);
    }
    // A multimap inserts behind the equivalent keys already present: values keep their order.
    map->insert(std::make_pair(static_cast<const char*>(key), buffer));
  } catch (...) {
    delete[] key;
    delete buffer;
  }
}

}  // namespace

void addAttribute(LDAPAttributeMap* map, const char* name, const char* value, unsigned int length) {
  std::size_t size = length != 0 || value == nullptr ? length : std::strlen(value) + 1;
  storeAttribute(map, name, value, size, false);
}

void addTextAttribute(LDAPAttributeMap* map, const char* name, const char* value,
                      std::size_t length) {
  storeAttribute(map, name, value, length, true);
}

const unsigned char* getAttributeValue(LDAPAttributeMap* map, const char* name) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "getAttributeValue");
  if (map == nullptr || name == nullptr) return nullptr;
  // lower_bound, not find: find may land on any element of the group.
  LDAPAttributeMap::iterator it = map->lower_bound(name);
  if (it == map->end() || compareIgnoreCase(it->first, name) != 0 || it->second == nullptr) {
    return nullptr;
  }
  return it->second->getValue();
}

bool removeAttribute(LDAPAttributeMap* map, const char* name, const char* value) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "removeAttribute");
  if (map == nullptr || name == nullptr) return false;
  std::pair<LDAPAttributeMap::iterator, LDAPAttributeMap::iterator> group = map->equal_range(name);
  bool removed = false;
  for (LDAPAttributeMap::iterator it = group.first; it != group.second;) {
    bool match = value == nullptr;
    if (!match && it->second != nullptr) {
      std::string text(reinterpret_cast<const char*>(it->second->getValue()),
                       textLength(it->second->getValue(), it->second->getLength()));
      match = compareIgnoreCase(text.c_str(), value) == 0;
    }
    if (!match) {
      ++it;
      continue;
    }
    delete[] it->first;
    delete it->second;
    it = map->erase(it);
    removed = true;
    if (value != nullptr) break;
  }
  return removed;
}

bool isText(const unsigned char* data, int length) {
  if (length <= 0) return true;
  return isTextBytes(data, static_cast<std::size_t>(length));
}

bool isText(const ZEVString& s) {
  std::size_t n = s.length();
  if (n != 0 && s[n - 1] == '\0') --n;
  return isTextBytes(reinterpret_cast<const unsigned char*>(s.c_str()), n);
}

// ---------------------------------------------------------------------------------------------
// Construction and library loading

LDAPClient::LDAPClient(const ZEVConstString& host, const ZEVConstString& driverPath,
                       const ZEVAgent* initAgent, int port, int version, int searchTimeout,
                       int connectTimeout)
    : symbols(),
      session(nullptr),
      result(nullptr),
      entry(nullptr),
      lastResult(0),
      host(host),
      port(port),
      version(version),
      libraryHandle(nullptr),
      initAgent(initAgent),
      usingDriverPath(false),
      bindPending(false) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient");
  if (tracing()) {
    std::ostringstream os;
    os << "host: " << host.str() << " , port: " << port << " , ver: " << version
       << " , search timeout (zero means none): " << searchTimeout
       << " , connect timeout (zero means none): " << connectTimeout;
    trace(__LINE__, os.str());
  }
  std::memset(&symbols, 0, sizeof(symbols));
  if (driverPath.length() == 0 && this->initAgent != nullptr) {
    trace(__LINE__, "InitAgent set but no driverPath specified ... initAgent is disabled");
    this->initAgent = nullptr;
  }
  this->connectTimeout = makeTimeout(connectTimeout);
  this->searchTimeout = makeTimeout(searchTimeout);
  fillSymbolTable(driverPath);
}

void LDAPClient::fillSymbolTable(const ZEVConstString& driverPath) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "fillSymbolTable");
  if (tracing()) trace(__LINE__, std::string("Driver Path: ") + driverPath.str());

  std::string prefix;
  int status = 0;
  if (driverPath.length() != 0) {
    usingDriverPath = true;
    status = zev_load_library(driverPath.c_str(), &libraryHandle);
  } else {
    prefix = "zev_";
    libraryHandle = ZEVLibraryManager::loadLibraryReally(ZEVString("zev9ldap"), ZEVString());
  }
  if (status != 0 || libraryHandle == nullptr) {
    trace(__LINE__, "Failed to open LDAP shared library client");
    libraryHandle = nullptr;
    throw ZEVDIRException(kFile, __LINE__, kErrLibrary, "");
  }

  for (const SymbolEntry& wanted : kSymbols) {
    std::string symbol = prefix + wanted.name;
    void* address = nullptr;
    if (zev_get_func_address(libraryHandle, symbol.c_str(), &address) == 0 && address != nullptr) {
      std::memcpy(reinterpret_cast<char*>(&symbols) + wanted.offset, &address, sizeof(address));
      continue;
    }
    switch (wanted.need) {
      case Need::kOptional:
        break;
      case Need::kWarned:
        trace(__LINE__, wanted.missing);
        break;
      case Need::kRequired:
        zev_free_library(libraryHandle);
        libraryHandle = nullptr;
        trace(__LINE__, wanted.missing);
        throw ZEVDIRException(kFile, __LINE__, kErrLibrary, "");
    }
  }
}

LDAPSymbolTable LDAPClient::getSymbolTable() const { return symbols; }

LDAPClient::~LDAPClient() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "~LDAPClient()");
  if (result != nullptr) {
    symbols.ldap_msgfree(result);
    result = nullptr;
  }
  logout(true);
  if (libraryHandle != nullptr) zev_free_library(libraryHandle);
}

// ---------------------------------------------------------------------------------------------
// Session

int LDAPClient::login(const ZEVConstString& host, int port, const ZEVConstString& userDN,
                      const ZEVASNCBuffer& password) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "login");
  this->host = host;
  this->port = port;
  logout(true);
  return login(userDN, password);
}

int LDAPClient::login(const ZEVConstString& userDN, const ZEVASNCBuffer& password) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::login(&)");
  // Marked sensitive before the bytes go in, so that no copy of the password is ever left
  // unwiped, not even by a regrowth for the terminator.
  ZEVFastBuffer secret;
  secret.setSensitiveData();
  secret.append(password);
  secret.append(static_cast<unsigned char>(0));
  return login(userDN.c_str(), reinterpret_cast<const char*>(secret.getValue()));
}

int LDAPClient::login(const char* userDN, const char* password) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::login(*)");
  if (tracing()) trace(__LINE__, orNull(userDN));

  // A session that this login replaces is released once the new one is opened (or failed to
  // open); otherwise a session opened by init_client would be lost when the next search logs
  // in again. Its unbind result is dropped: lastResult stays the client's own.
  LDAP* previous = session;
  if (initAgent != nullptr) {
    trace(__LINE__, "InitAgent beig used");
    int status = initAgent->connect();
    if (status != 0) {
      int reason = initAgent->getReasonCode(0);
      std::ostringstream os;
      os << "Cannot operate agent (callback) connection to LDAP server:  " << host.str() << ":"
         << port << ".  initAgent () returned " << status << " and reason code " << reason;
      throw ZEVDIRException(kFile, __LINE__, kErrSession, ZEVString(os));
    }
    session = static_cast<LDAP*>(initAgent->getLDAPHandle());
    if (previous != nullptr && previous != session) symbols.ldap_unbind(previous);
    if (session == nullptr) {
      std::ostringstream os;
      os << "LDAP Init Callback returned a NULL handle:  "
         << "Host: " << host.str() << " Port: " << port;
      throw ZEVDIRException(kFile, __LINE__, kErrSession, ZEVString(os));
    }
  } else {
    session = symbols.ldap_init(isUriHost(host) ? nullptr : host.c_str(), port);
    if (previous != nullptr && previous != session) symbols.ldap_unbind(previous);
    if (session == nullptr) {
      std::ostringstream os;
      os << "Cannot open connection to LDAP server:  " << host.str() << ":" << port
         << ".  ldap_init() returned " << errorMessage(0);
      throw ZEVDIRException(kFile, __LINE__, kErrSession, ZEVString(os));
    }
  }

  symbols.ldap_set_option(session, kOptionProtocolVersion, &version);
  if (connectTimeout) {
    int rc = symbols.ldap_set_option(session, kOptionConnectTimeout, connectTimeout.get());
    if (rc != 0 && tracing()) {
      std::ostringstream os;
      os << "Could not set the connect timeout, " << host.str() << " userDN=" << orEmpty(userDN)
         << " ldap_set_option() rc=" << rc << ". " << errorMessage(0);
      trace(__LINE__, os.str());
    }
  }
  if (isUriHost(host)) return 0;

  lastResult = symbols.ldap_simple_bind_s(session, userDN, password);
  if (lastResult != 0) {
    symbols.ldap_unbind(session);
    session = nullptr;
    std::ostringstream os;
    os << "Cannot bind to LDAP server, " << host.str() << " userDN=" << orEmpty(userDN)
       << " ldap_simple_bind() rc=" << lastResult << ". " << errorMessage(0);
    long code = (lastResult == LDAP_NO_SUCH_OBJECT || lastResult == LDAP_INVALID_CREDENTIALS)
                    ? kErrBindDenied
                    : kErrSession;
    throw ZEVDIRException(kFile, __LINE__, code, ZEVString(os));
  }
  return 0;
}

bool LDAPClient::init_client() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "init_client");
  if (session != nullptr) {
    bindPending = true;
    return true;
  }
  if (initAgent != nullptr) {
    trace(__LINE__, "InitAgent beig used");
    int status = initAgent->connect();
    if (status != 0) {
      int reason = initAgent->getReasonCode(0);
      if (tracing()) {
        std::ostringstream os;
        os << "Cannot operate agent (callback) connection to LDAP server:  " << host.str() << ":"
           << port << ".  initAgent () returned " << status << " and reason code " << reason;
        trace(__LINE__, os.str());
      }
      return false;
    }
    session = static_cast<LDAP*>(initAgent->getLDAPHandle());
    if (session == nullptr) {
      if (tracing()) {
        std::ostringstream os;
        os << "LDAP Init Callback returned a NULL handle:  "
           << "Host: " << host.str() << " Port: " << port;
        trace(__LINE__, os.str());
      }
      return false;
    }
  } else {
    session = symbols.ldap_init(nullptr, port);
    if (session == nullptr) return false;
  }
  bindPending = true;
  return true;
}

int LDAPClient::logout(bool unbind) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::logout()");
  if (unbind && session != nullptr) lastResult = symbols.ldap_unbind(session);
  session = nullptr;
  return 0;
}

int LDAPClient::errorCode() {
  if (symbols.ldap_get_errno != nullptr && session != nullptr) {
    return symbols.ldap_get_errno(session);
  }
  return lastResult;
}

const char* LDAPClient::errorMessage(int code) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "errorMessage");
  if (code == 0) code = errorCode();
  // A library that knows no text for a code gets the empty text, never a null pointer.
  return orEmpty(symbols.ldap_err2string(code));
}

ZEVString LDAPClient::convertDCtoHost(const ZEVString& uri) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "convertDCtoHost");
  if (uri.length() < 7 || uri.substr(0, 7).compare_ignorecase("ldap://") != 0) return uri;
  try {
    return ZEVUtility::convertDCtoHost(uri);
  } catch (const ZEVException& e) {
    e.trace(kFile, __LINE__, kComponent, ZEVTrace::globalTrace());
    if (tracing()) trace(__LINE__, "convertDCtoHost error on : " + uri.str());
    return uri;
  }
}

// ---------------------------------------------------------------------------------------------
// Searching and walking

int LDAPClient::search(const char* base, int scope, const char* filter, char** attrs,
                       int attrsonly) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::search");
  if (result != nullptr) {
    symbols.ldap_msgfree(result);
    result = nullptr;
  }
  if (session == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSession,
                          ZEVString("LDAP server " + host.str() + " did not bind"));
  }
  if (bindPending) {
    login(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr));
    bindPending = false;
  }
  if (tracing()) trace(__LINE__, std::string("base: ") + orEmpty(base) + "  " + orEmpty(filter));

  lastResult = symbols.ldap_search_st(session, base, scope, filter, attrs, attrsonly,
                                      searchTimeout.get(), &result);
  if (lastResult != 0) {
    // Whatever the library returned (partial results) stays in result until the next search.
    std::ostringstream os;
    os << "Error searching LDAP server."
       << " ldap_search_st() rc=" << lastResult << ". " << errorMessage(0);
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, ZEVString(os));
  }
  return symbols.ldap_count_entries(session, result);
}

int LDAPClient::searchByURI(const ZEVString& uri, int attrsonly) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "searchByURI");
  if (result != nullptr) {
    symbols.ldap_msgfree(result);
    result = nullptr;
  }
  ZEVString url(uri);
  if (symbols.ldap_url_parse == nullptr || symbols.ldap_free_urldesc == nullptr ||
      symbols.ldap_url_search_st == nullptr) {
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, "searchByURI not supported by this client");
  }

  // The parse result code is not looked at: a URL without a description is searched as given.
  // Our description has OpenLDAP's layout (lud_next and lud_scheme first), so "the URL names
  // no server" is read from lud_host (null or empty) rather than from a field by position.
  LDAPURLDesc* description = nullptr;
  symbols.ldap_url_parse(uri.c_str(), &description);
  if (description != nullptr) {
    if (description->lud_host == nullptr || description->lud_host[0] == '\0') {
      try {
        url = convertDCtoHost(uri);
      } catch (...) {
        symbols.ldap_free_urldesc(description);
        throw;
      }
    }
    symbols.ldap_free_urldesc(description);
  }
  trace(__LINE__, url.str());

  if (connectTimeout) {
    int rc = symbols.ldap_set_option(session, kOptionConnectTimeout, connectTimeout.get());
    if (rc != 0 && tracing()) {
      std::ostringstream os;
      os << "Could not set the connect timeout, " << host.str() << " URI=" << url.str()
         << " ldap_set_option() rc=" << rc << ". " << errorMessage(0);
      trace(__LINE__, os.str());
    }
  }

  lastResult =
      symbols.ldap_url_search_st(session, url.c_str(), attrsonly, searchTimeout.get(), &result);
  if (lastResult != 0) {
    std::ostringstream os;
    os << "Error searching LDAP server by URI."
       << " ldap_url_search_st() rc=" << lastResult << ". " << errorMessage(0);
    throw ZEVDIRException(kFile, __LINE__, kErrSearch, ZEVString(os));
  }
  return symbols.ldap_count_entries(session, result);
}

int LDAPClient::countEntries() { return symbols.ldap_count_entries(session, result); }

LDAPMessage* LDAPClient::firstEntry() {
  entry = symbols.ldap_first_entry(session, result);
  return entry;
}

LDAPMessage* LDAPClient::nextEntry() {
  entry = symbols.ldap_next_entry(session, entry);
  return entry;
}

char* LDAPClient::getDN() { return symbols.ldap_get_dn(session, entry); }

void LDAPClient::memFree(void* p) { symbols.ldap_memfree(p); }

char* LDAPClient::firstAttribute(BerElement** ber) {
  return symbols.ldap_first_attribute(session, entry, ber);
}

char* LDAPClient::nextAttribute(BerElement* ber) {
  return symbols.ldap_next_attribute(session, entry, ber);
}

berval** LDAPClient::getValuesLen(const char* attr) {
  return symbols.ldap_get_values_len(session, entry, attr);
}

void LDAPClient::valueFreeLen(berval** values) { symbols.ldap_value_free_len(values); }

void LDAPClient::berFree(BerElement* ber) {
  // Frees the walk state only (freebuf 0): the buffer belongs to the result message. A walk
  // that never started has no state to free.
  if (symbols.ldap_ber_free != nullptr && ber != nullptr) symbols.ldap_ber_free(ber, 0);
}

// ---------------------------------------------------------------------------------------------
// Entry modification

LdapModArray::LdapModArray(LDAPAttributeMap* attributes, int op) : mods(nullptr) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LdapModArray::LdapModArray");
  if (attributes == nullptr) return;
  try {
    mods = new LDAPMod*[attributes->size() + 1]();
    std::size_t i = 0;
    for (LDAPAttributeMap::iterator it = attributes->begin(); it != attributes->end();) {
      LDAPAttributeMap::iterator groupEnd = attributes->upper_bound(it->first);
      // Only a group whose first key is exactly "dn" is the distinguished name; a map holding
      // the name in several letter cases is grouped (and judged) by its first key.
      if (std::strcmp(it->first, "dn") == 0) {
        it = groupEnd;
        continue;
      }
      std::size_t k = static_cast<std::size_t>(std::distance(it, groupEnd));
      LDAPMod* record = new LDAPMod();
      mods[i] = record;
      record->mod_op = op | LDAP_MOD_BVALUES;
      record->mod_type = const_cast<char*>(it->first);
      record->mod_next = nullptr;
      record->mod_bvalues = new berval*[k + 1]();
      for (std::size_t j = 0; it != groupEnd; ++it, ++j) {
        std::size_t length = 0;
        unsigned char* data = nullptr;
        if (it->second != nullptr) {
          length = it->second->getLength();
          data = it->second->getValue();
        }
        // Every byte but the last is text: a text value, sent without its terminator.
        if (length == 0 || isTextBytes(data, length - 1)) length = textLength(data, length);
        berval* value = new berval;
        value->bv_len = static_cast<ber_len_t>(length);
        value->bv_val = reinterpret_cast<char*>(data);
        record->mod_bvalues[j] = value;
      }
      ++i;
    }
    mods[i] = nullptr;
  } catch (...) {
    freeMods(mods);
    mods = nullptr;
    throw;
  }
}

LdapModArray::~LdapModArray() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "~LdapModArray");
  freeMods(mods);
}

bool LDAPClient::addEntry(LDAPAttributeMap* attributes, const char* dn) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "addEntry");
  return changeEntry(session, symbols.ldap_add_s, lastResult, attributes, dn, LDAP_MOD_ADD);
}

bool LDAPClient::modifyEntry(LDAPAttributeMap* attributes, const char* dn) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::modifyEntry");
  return changeEntry(session, symbols.ldap_modify_s, lastResult, attributes, dn, LDAP_MOD_REPLACE);
}

bool LDAPClient::deleteEntry(const char* dn) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::deleteEntry");
  if (tracing()) trace(__LINE__, orNull(dn));
  if (session == nullptr) return false;
  int rc = symbols.ldap_delete_s(session, dn);
  lastResult = rc;
  return rc == 0;
}

bool LDAPClient::modifyRDN(const char* dn, const char* newRDN, bool deleteOldRDN) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "LDAPClient::modifyRDN");
  if (tracing()) trace(__LINE__, std::string(orNull(dn)) + " , " + orNull(newRDN));
  if (session == nullptr) return false;
  int rc = symbols.ldap_modrdn_s(session, dn, newRDN, deleteOldRDN ? 1 : 0);
  lastResult = rc;
  return rc == 0;
}

std::ostream& operator<<(std::ostream& os, const LDAPMod& mod) {
  os << " Operation: " << mod.mod_op << "\n";
  os << " Attribute: " << orEmpty(mod.mod_type) << std::endl;
  if (mod.mod_bvalues == nullptr) return os;
  for (berval** value = mod.mod_bvalues; *value != nullptr; ++value) {
    const berval& v = **value;
    os << "  (Len)Val: (" << static_cast<unsigned long>(v.bv_len) << ") ";
    // The value is written as text up to its first zero byte, but never past bv_len: a binary
    // value borrowed from a map carries no terminator.
    if (v.bv_val != nullptr) {
      os.write(v.bv_val, static_cast<std::streamsize>(textLength(
                             reinterpret_cast<const unsigned char*>(v.bv_val), v.bv_len)));
    }
    os << std::endl;
  }
  return os;
}

}  // namespace zev09000003
