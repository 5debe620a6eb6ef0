// Fake LDAP client library for unit tests: a small directory in memory behind the functions of
// ldapapi.h, with the scripts, call log and handle accounting of fakeldap_control.h. Variants:
// FAKELDAP_ZEV_NAMES exports zev_ldap_... names; FAKELDAP_NO_SEARCH leaves out ldap_search_st;
// FAKELDAP_NO_URLSEARCH ldap_url_search_st; FAKELDAP_NO_OPTIONAL ldap_url_search_st,
// ldap_url_parse, ldap_free_urldesc, ldap_ber_free and ldap_get_errno. Single-threaded.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fakeldap_control.h"
#include "ldapapi.h"

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifdef FAKELDAP_ZEV_NAMES
#define LDAP_FN(name) zev_##name
#else
#define LDAP_FN(name) name
#endif

namespace {

constexpr int kNotOnNonLeaf = 66, kAlreadyExists = 68, kFilterError = 87, kParamError = 89;
constexpr size_t npos = std::string::npos;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
bool iequal(const std::string& a, const std::string& b) { return lower(a) == lower(b); }
std::string orNull(const char* s) { return s ? s : "(null)"; }
std::string timeText(const timeval* t) {
  return t ? "{" + std::to_string(t->tv_sec) + "," + std::to_string(t->tv_usec) + "}" : "(null)";
}
std::vector<std::string> split(const std::string& s, char sep) {  // drops a last empty part
  std::vector<std::string> parts;
  std::istringstream in(s);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}
// DNs compare without regard to case (the plug-in sends them without blanks).
std::string parentDN(const std::string& ndn) {
  const size_t comma = ndn.find(',');
  return comma == npos ? "" : ndn.substr(comma + 1);
}
// Attribute names match without regard to case or options such as ";binary".
bool sameAttr(const std::string& a, const std::string& b) {
  return lower(a.substr(0, a.find(';'))) == lower(b.substr(0, b.find(';')));
}

struct Attr {
  std::string name;
  std::vector<std::string> values;  // an attribute left without values is never returned
};

// A directory entry, or a copy of one in a search result (with its owner and position there).
struct Entry;
using Result = std::vector<std::shared_ptr<Entry>>;
struct Entry {
  std::string dn;
  std::vector<Attr> attrs;
  Result* owner = nullptr;
  size_t index = 0;
  Attr* find(const std::string& name) {
    for (Attr& a : attrs)
      if (iequal(a.name, name)) return &a;
    return nullptr;
  }
  void add(const std::string& name, const std::string& value) {
    Attr* a = find(name);
    (a ? a : &attrs.emplace_back(Attr{name, {}}))->values.push_back(value);
  }
};
struct Walk {
  Entry* entry;
  size_t next = 0;
};
struct UrlDesc : LDAPURLDesc {  // the fields point into the strings below
  std::string host, dn, filter;
  std::vector<std::string> attrs;
  std::vector<char*> attrPointers;
};

// Reads the filter at s[pos] ((a=*), (a=value), (&...), (|...), (!...)) and tells whether e
// matches it; ok turns false when the filter is malformed.
bool filterMatches(const std::string& s, size_t& pos, const Entry& e, bool& ok) {
  if (pos + 1 >= s.size() || s[pos] != '(') return ok = false;
  const char op = s[++pos];
  bool result = op == '&';
  if (op == '&' || op == '|' || op == '!') {
    int n = 0;
    for (++pos; ok && pos < s.size() && s[pos] == '('; ++n) {
      const bool m = filterMatches(s, pos, e, ok);
      result = op == '&' ? result && m : op == '|' ? result || m : !m;
    }
    if (n == 0 || (op == '!' && n != 1)) ok = false;
  } else {
    const size_t eq = s.find('=', pos), close = s.find(')', pos);
    if (eq == npos || close == npos || eq >= close || eq == pos) return ok = false;
    const std::string attr = s.substr(pos, eq - pos), value = s.substr(eq + 1, close - eq - 1);
    // Approximate, ordering, extensible and substring items are not evaluated.
    if (attr.find_first_of("~<>:(") != npos || (value != "*" && value.find_first_of("*(") != npos))
      return ok = false;
    pos = close;
    // Every entry of a real directory has an object class, stored or not.
    result = value == "*" && iequal(attr, "objectClass");
    for (const Attr& a : e.attrs)
      for (const std::string& v : a.values)
        result = result || (sameAttr(a.name, attr) && (value == "*" || iequal(v, value)));
  }
  if (!ok || pos >= s.size() || s[pos] != ')') return ok = false;
  ++pos;
  return result;
}

// Handles given out, each with the object that owns its memory. A session is an int: its last
// result code. Entries go with their result message and are not counted apart.
enum Kind { kSession, kMessage, kString, kWalk, kValues, kUrlDesc, kEntry };
const char* const kKindNames[] = {"session",        "result message", "DN or attribute name",
                                  "attribute walk", "value array",    "URL description"};

// Everything that fake_reset clears; handles still outstanding are freed with it.
struct State {
  std::vector<Entry> directory;
  std::map<std::string, std::vector<std::pair<int, int>>> scripts;  // result, times left
  std::vector<std::string> log;
  std::map<std::string, int> calls;
  std::vector<std::vector<std::string>> lastMods;
  std::map<const void*, std::pair<Kind, std::shared_ptr<void>>> handles;
  std::vector<std::string> badUses;
  std::string report;
};
std::unique_ptr<State> st(new State);

Entry* findEntry(const std::string& dn) {
  for (Entry& e : st->directory)
    if (lower(e.dn) == lower(dn)) return &e;
  return nullptr;
}

// Counts a call of fn; true, with the result in *rc, when a script decides the call.
bool scripted(const char* fn, int* rc) {
  ++st->calls[fn];
  auto& queue = st->scripts[fn];
  if (queue.empty()) return false;
  *rc = queue.front().first;
  if (queue.front().second > 0 && --queue.front().second == 0) queue.erase(queue.begin());
  return true;
}
bool enter(const char* fn, const std::string& line, int* rc) {
  st->log.push_back(line);
  return scripted(fn, rc);
}

template <class T>
T* give(const std::shared_ptr<T>& p, Kind kind) {
  st->handles[p.get()] = {kind, p};
  return p.get();
}
// A copy the caller frees with ldap_memfree; its bytes are allocated apart, and so are each
// value of an array and its bytes (bv_len of them, no terminator), so that a read past the
// end or after the free shows under AddressSanitizer.
char* newString(const std::string& s) {
  char* p =
      give(std::shared_ptr<char>(new char[s.size() + 1], std::default_delete<char[]>()), kString);
  return std::strcpy(p, s.c_str());
}
void freeValues(berval** values) {
  for (berval** v = values; *v; ++v) delete[](*v)->bv_val;
  for (berval** v = values; *v; ++v) delete *v;
  delete[] values;
}
berval** newValues(const std::vector<std::string>& from) {
  auto** values = new berval*[from.size() + 1]();
  for (size_t i = 0; i < from.size(); ++i) {
    values[i] = new berval{from[i].size(), new char[from[i].size()]};
    std::memcpy(values[i]->bv_val, from[i].data(), from[i].size());
  }
  return give(std::shared_ptr<berval*>(values, freeValues), kValues);
}

// The object behind a live handle of that kind, else null (a bad use unless p is null).
template <class T = void>
T* use(const void* p, Kind kind, const char* fn) {
  auto it = st->handles.find(p);
  if (it != st->handles.end() && it->second.first == kind)
    return static_cast<T*>(const_cast<void*>(p));
  if (p) st->badUses.push_back(fn + std::string(": not a live handle of this kind"));
  return nullptr;
}
// Frees a live handle of that kind (a message with its entries); see use() for other pointers.
bool dispose(const void* p, Kind kind, const char* fn) {
  if (!use(p, kind, fn)) return false;
  const auto owner = st->handles[p].second;  // alive until its entries are forgotten
  st->handles.erase(p);
  if (kind == kMessage)
    for (auto& e : *static_cast<Result*>(owner.get())) st->handles.erase(e.get());
  return true;
}
bool freeCall(const char* fn, const void* p, Kind kind) {
  ++st->calls[fn];
  return dispose(p, kind, fn);
}
// The walking functions: count the call; a scripted call gives null, else the object behind p.
template <class T>
T* walk(const char* fn, const void* p, Kind kind) {
  int ignored;
  return scripted(fn, &ignored) ? nullptr : use<T>(p, kind, fn);
}

// Functions on a session: log "fn(args)", count, check the session; the script or work() gives
// the result code, kept as the session's last one. With `partial` a scripted search still runs
// and hands over its result, unless the code says the connection was lost.
template <class F>
int sessionCall(const char* fn, LDAP* ld, const std::string& args, F work, bool partial = false) {
  int rc;
  const bool isScripted = enter(fn, fn + ("(" + args + ")"), &rc);
  int* lastResult = use<int>(ld, kSession, fn);
  if (!lastResult) return kParamError;
  if (!isScripted)
    rc = work();
  else if (partial && rc != LDAP_SERVER_DOWN && rc != LDAP_TIMEOUT && rc != LDAP_CONNECT_ERROR)
    work();
  return *lastResult = rc;
}

char* nextName(Walk* w) {
  if (!use(w->entry, kEntry, "ldap_next_attribute")) return nullptr;  // its message was freed
  if (w->next < w->entry->attrs.size()) return newString(w->entry->attrs[w->next++].name);
#ifdef FAKELDAP_NO_OPTIONAL
  dispose(w, kWalk, "ldap_next_attribute");  // without ldap_ber_free the walk frees itself
#endif
  return nullptr;
}

bool inScope(const std::string& ndn, const std::string& nbase, int scope) {
  if (scope == LDAP_SCOPE_ONELEVEL) return parentDN(ndn) == nbase;
  const size_t n = nbase.size();
  const bool below =
      nbase.empty() || (ndn.size() > n && ndn.substr(ndn.size() - n - 1) == "," + nbase);
  return ndn == nbase || (scope == LDAP_SCOPE_SUBTREE && below);
}

// A search below a base that does not exist gives 32 and an empty result.
int runSearch(const char* base, int scope, const char* filter, char** attrs, int attrsonly,
              LDAPMessage** out) {
  if (scope < LDAP_SCOPE_BASE || scope > LDAP_SCOPE_SUBTREE) return kParamError;
  std::string f = filter && *filter ? filter : "(objectClass=*)";
  if (f[0] != '(') f = "(" + f + ")";
  size_t pos = 0;
  bool ok = true;
  filterMatches(f, pos, Entry(), ok);
  if (!ok || pos != f.size()) return kFilterError;
  const std::string nbase = lower(base ? base : "");
  const bool baseExists = nbase.empty() || findEntry(nbase);
  bool all = !attrs || !*attrs;  // no list, an empty list or "*" selects every attribute
  for (char** a = attrs; a && *a; ++a) all = all || std::strcmp(*a, "*") == 0;
  auto result = std::make_shared<Result>();
  for (const Entry& e : st->directory) {
    if (!baseExists || !inScope(lower(e.dn), nbase, scope) || !filterMatches(f, pos = 0, e, ok))
      continue;
    auto& copy = result->emplace_back(new Entry{e.dn, {}, result.get(), result->size()});
    for (const Attr& a : e.attrs) {
      bool wanted = all;
      for (char** w = attrs; w && *w; ++w) wanted = wanted || sameAttr(a.name, *w);
      if (wanted && !a.values.empty())
        copy->attrs.push_back({a.name, attrsonly ? std::vector<std::string>() : a.values});
    }
    give(copy, kEntry);
  }
  *out = reinterpret_cast<LDAPMessage*>(give(result, kMessage));
  return baseExists ? LDAP_SUCCESS : LDAP_NO_SUCH_OBJECT;
}

int search(const char* fn, LDAP* ld, const std::string& args, const char* base, int scope,
           const char* filter, char** attrs, int attrsonly, LDAPMessage** result) {
  *result = nullptr;
  return sessionCall(
      fn, ld, args, [&] { return runSearch(base, scope, filter, attrs, attrsonly, result); }, true);
}

#ifndef FAKELDAP_NO_OPTIONAL
// Parses "scheme://host:port/dn?attrs?scope?filter" (nothing is percent-decoded). A malformed
// URL gives null and, in *rc, the URL error code as client libraries number it: 3 bad scheme,
// 8 bad scope.
std::unique_ptr<UrlDesc> parseUrl(const std::string& url, int* rc) {
  std::unique_ptr<UrlDesc> d(new UrlDesc());
  const size_t sep = url.find("://"), slash = url.find('/', sep + 3);
  const std::string scheme = lower(url.substr(0, sep));
  *rc = 3;
  if (sep == npos || (scheme != "ldap" && scheme != "ldaps" && scheme != "ldapi")) return nullptr;
  const std::string hostPort = url.substr(sep + 3, slash - sep - 3);
  const size_t colon = hostPort.rfind(':');
  std::vector<std::string> fields = split(slash == npos ? "" : url.substr(slash + 1), '?');
  fields.resize(std::max<size_t>(fields.size(), 4));
  d->host = hostPort.substr(0, colon);
  if (colon != npos) d->lud_port = std::atoi(hostPort.substr(colon + 1).c_str());
  const std::string scope = lower(fields[2]);
  d->lud_scope = scope == "one" || scope == "onelevel"  ? LDAP_SCOPE_ONELEVEL
                 : scope == "sub" || scope == "subtree" ? LDAP_SCOPE_SUBTREE
                                                        : LDAP_SCOPE_BASE;
  *rc = 8;
  if (d->lud_scope == LDAP_SCOPE_BASE && !scope.empty() && scope != "base") return nullptr;
  d->dn = fields[0];
  d->filter = fields[3].empty() ? "(objectClass=*)" : fields[3];
  d->attrs = split(fields[1], ',');
  d->lud_host = d->host.empty() ? nullptr : &d->host[0];
  d->lud_dn = &d->dn[0];
  d->lud_filter = &d->filter[0];
  for (std::string& a : d->attrs) d->attrPointers.push_back(&a[0]);
  d->attrPointers.push_back(nullptr);
  d->lud_attrs = d->attrs.empty() ? nullptr : d->attrPointers.data();
  *rc = 0;
  return d;
}
#endif

std::vector<std::string> modValues(const LDAPMod* m) {  // the plug-in sends bervals only
  std::vector<std::string> values;
  for (berval** v = m->mod_bvalues; v && *v; ++v) values.emplace_back((*v)->bv_val, (*v)->bv_len);
  return values;
}

// ldap_add_s adds the entry with the values of every record; ldap_modify_s applies add and
// replace records (the plug-in sends no others).
int addOrModify(const char* dn, LDAPMod** mods, bool add) {
  Entry* e = findEntry(dn);
  if (add == (e != nullptr)) return add ? kAlreadyExists : LDAP_NO_SUCH_OBJECT;
  if (add) e = &st->directory.emplace_back(Entry{dn, {}});
  for (LDAPMod** m = mods; m && *m; ++m) {
    const bool replace = ((*m)->mod_op & ~LDAP_MOD_BVALUES) == LDAP_MOD_REPLACE;
    if (Attr* a = replace ? e->find((*m)->mod_type) : nullptr) a->values.clear();
    for (const std::string& v : modValues(*m)) e->add((*m)->mod_type, v);
  }
  return LDAP_SUCCESS;
}

// Logs the records as "[<op>:<type>:<len>,<len>;<op>:<type>:<len>]" and keeps their values.
int addOrModifyCall(const char* fn, LDAP* ld, const char* dn, LDAPMod** mods, bool add) {
  std::string text = "[";
  st->lastMods.clear();
  for (LDAPMod** m = mods; m && *m; ++m) {
    st->lastMods.push_back(modValues(*m));
    text += (m == mods ? "" : ";") + std::to_string((*m)->mod_op) + ":" + orNull((*m)->mod_type);
    const std::vector<std::string>& values = st->lastMods.back();
    for (size_t i = 0; i < values.size(); ++i)
      text += (i ? "," : ":") + std::to_string(values[i].size());
    if (values.empty()) text += ":";
  }
  return sessionCall(fn, ld, "dn=" + orNull(dn) + ", mods=" + (mods ? text + "]" : "(null)"),
                     [&] { return addOrModify(dn, mods, add); });
}

}  // namespace

// LDAP functions

FAKE_EXPORT LDAP* LDAP_FN(ldap_init)(const char* host, int port) noexcept {
  int rc;
  if (enter("ldap_init", "ldap_init(host=" + orNull(host) + ", port=" + std::to_string(port) + ")",
            &rc))
    return nullptr;
  return reinterpret_cast<LDAP*>(give(std::make_shared<int>(0), kSession));
}

FAKE_EXPORT int LDAP_FN(ldap_msgfree)(LDAPMessage* msg) noexcept {
  return freeCall("ldap_msgfree", msg, kMessage) ? 0x65 : -1;  // 0x65: a search result
}

FAKE_EXPORT char* LDAP_FN(ldap_err2string)(int code) noexcept {
  static const std::vector<std::string> kTexts = split(
      "0 Success|4 Size limit exceeded|32 No such object|49 Invalid credentials|66 Operation not "
      "allowed on non-leaf|68 Already exists|81 Can't contact LDAP server|82 Local error|85 Timed "
      "out|87 Bad search filter|89 Bad parameter to an ldap routine|91 Connect error",
      '|');
  ++st->calls["ldap_err2string"];
  st->log.push_back("ldap_err2string(code=" + std::to_string(code) + ")");
  for (const std::string& text : kTexts)
    if (std::atoi(text.c_str()) == code) return const_cast<char*>(&text[text.find(' ') + 1]);
  return const_cast<char*>("Unknown error");
}

FAKE_EXPORT int LDAP_FN(ldap_set_option)(LDAP* ld, int option, const void* value) noexcept {
  const bool isTime = option == LDAP_OPT_CONNECT_TIMEOUT || option == LDAP_OPT_NETWORK_TIMEOUT;
  const std::string text = isTime || !value ? timeText(static_cast<const timeval*>(value))
                                            : std::to_string(*static_cast<const int*>(value));
  int rc;
  if (enter("ldap_set_option",
            "ldap_set_option(option=" + std::to_string(option) + ", value=" + text + ")", &rc))
    return rc;
  if (ld && !use(ld, kSession, "ldap_set_option")) return kParamError;  // null: a global default
  return value ? LDAP_SUCCESS : -1;
}

// Any DN and password are accepted; tests script the refusals.
FAKE_EXPORT int LDAP_FN(ldap_simple_bind_s)(LDAP* ld, const char* dn,
                                            const char* password) noexcept {
  return sessionCall("ldap_simple_bind_s", ld,
                     "dn=" + orNull(dn) + ", password=" + orNull(password), [] { return 0; });
}

// The session goes whatever the result; a script only changes the code returned.
FAKE_EXPORT int LDAP_FN(ldap_unbind)(LDAP* ld) noexcept {
  int rc = LDAP_SUCCESS;
  enter("ldap_unbind", "ldap_unbind()", &rc);
  return dispose(ld, kSession, "ldap_unbind") ? rc : kParamError;
}

#ifndef FAKELDAP_NO_SEARCH
FAKE_EXPORT int LDAP_FN(ldap_search_st)(LDAP* ld, const char* base, int scope, const char* filter,
                                        char** attrs, int attrsonly, struct timeval* timeout,
                                        LDAPMessage** result) noexcept {
  std::string list;
  for (char** a = attrs; a && *a; ++a) list += (a == attrs ? "" : ",") + std::string(*a);
  return search("ldap_search_st", ld,
                "base=" + orNull(base) + ", scope=" + std::to_string(scope) + ", filter=" +
                    orNull(filter) + ", attrs=" + (attrs ? "[" + list + "]" : "(null)") +
                    ", attrsonly=" + std::to_string(attrsonly) + ", timeout=" + timeText(timeout),
                base, scope, filter, attrs, attrsonly, result);
}
#endif

#if !defined(FAKELDAP_NO_OPTIONAL) && !defined(FAKELDAP_NO_URLSEARCH)
// Searches the URL's base, scope, filter and attributes on the session; the URL's host is not
// contacted. An unparsable URL gives 89.
FAKE_EXPORT int LDAP_FN(ldap_url_search_st)(LDAP* ld, const char* url, int attrsonly,
                                            struct timeval* timeout,
                                            LDAPMessage** result) noexcept {
  int urc;
  const std::unique_ptr<UrlDesc> d = parseUrl(url, &urc);
  return search("ldap_url_search_st", ld,
                "url=" + orNull(url) + ", attrsonly=" + std::to_string(attrsonly) +
                    ", timeout=" + timeText(timeout),
                d ? d->lud_dn : nullptr, d ? d->lud_scope : -1, d ? d->lud_filter : nullptr,
                d ? d->lud_attrs : nullptr, attrsonly, result);
}
#endif

#ifndef FAKELDAP_NO_OPTIONAL
// A malformed URL gives its URL error code and no description.
FAKE_EXPORT int LDAP_FN(ldap_url_parse)(const char* url, LDAPURLDesc** description) noexcept {
  int rc;
  *description = nullptr;
  if (enter("ldap_url_parse", "ldap_url_parse(url=" + orNull(url) + ")", &rc)) return rc;
  if (std::shared_ptr<LDAPURLDesc> d = parseUrl(url, &rc)) *description = give(d, kUrlDesc);
  return rc;
}

FAKE_EXPORT void LDAP_FN(ldap_free_urldesc)(LDAPURLDesc* description) noexcept {
  st->log.push_back("ldap_free_urldesc()");
  freeCall("ldap_free_urldesc", description, kUrlDesc);
}
#endif

FAKE_EXPORT int LDAP_FN(ldap_count_entries)(LDAP* ld, LDAPMessage* result) noexcept {
  int rc;
  if (enter("ldap_count_entries", "ldap_count_entries()", &rc)) return rc;
  Result* m = use<Result>(result, kMessage, "ldap_count_entries");
  return m ? static_cast<int>(m->size()) : -1;
}

FAKE_EXPORT int LDAP_FN(ldap_add_s)(LDAP* ld, const char* dn, LDAPMod** mods) noexcept {
  return addOrModifyCall("ldap_add_s", ld, dn, mods, true);
}

FAKE_EXPORT int LDAP_FN(ldap_modify_s)(LDAP* ld, const char* dn, LDAPMod** mods) noexcept {
  return addOrModifyCall("ldap_modify_s", ld, dn, mods, false);
}

// An entry with entries below it is not deleted, as on a real server.
FAKE_EXPORT int LDAP_FN(ldap_delete_s)(LDAP* ld, const char* dn) noexcept {
  return sessionCall("ldap_delete_s", ld, "dn=" + orNull(dn), [&] {
    Entry* e = dn ? findEntry(dn) : nullptr;
    if (!e) return LDAP_NO_SUCH_OBJECT;
    for (const Entry& other : st->directory)
      if (parentDN(lower(other.dn)) == lower(e->dn)) return kNotOnNonLeaf;
    st->directory.erase(st->directory.begin() + (e - st->directory.data()));
    return LDAP_SUCCESS;
  });
}

// Renames the entry under the same parent; its attribute values stay as they are.
FAKE_EXPORT int LDAP_FN(ldap_modrdn_s)(LDAP* ld, const char* dn, const char* newrdn,
                                       int deleteoldrdn) noexcept {
  return sessionCall("ldap_modrdn_s", ld,
                     "dn=" + orNull(dn) + ", newrdn=" + orNull(newrdn) +
                         ", deleteoldrdn=" + std::to_string(deleteoldrdn),
                     [&] {
                       Entry* e = dn && newrdn ? findEntry(dn) : nullptr;
                       if (!e) return LDAP_NO_SUCH_OBJECT;
                       e->dn = newrdn + e->dn.substr(std::min(e->dn.find(','), e->dn.size()));
                       return LDAP_SUCCESS;
                     });
}

// The walking functions read only their message; the session is not looked at.
FAKE_EXPORT LDAPMessage* LDAP_FN(ldap_first_entry)(LDAP* ld, LDAPMessage* result) noexcept {
  Result* m = walk<Result>("ldap_first_entry", result, kMessage);
  return m && !m->empty() ? reinterpret_cast<LDAPMessage*>((*m)[0].get()) : nullptr;
}

FAKE_EXPORT LDAPMessage* LDAP_FN(ldap_next_entry)(LDAP* ld, LDAPMessage* previous) noexcept {
  Entry* e = walk<Entry>("ldap_next_entry", previous, kEntry);
  if (!e || e->index + 1 >= e->owner->size()) return nullptr;
  return reinterpret_cast<LDAPMessage*>((*e->owner)[e->index + 1].get());
}

FAKE_EXPORT char* LDAP_FN(ldap_get_dn)(LDAP* ld, LDAPMessage* entry) noexcept {
  Entry* e = walk<Entry>("ldap_get_dn", entry, kEntry);
  return e ? newString(e->dn) : nullptr;
}

FAKE_EXPORT void LDAP_FN(ldap_memfree)(void* p) noexcept { freeCall("ldap_memfree", p, kString); }

// Without ldap_ber_free a walk over an entry without attributes is freed at once.
FAKE_EXPORT char* LDAP_FN(ldap_first_attribute)(LDAP* ld, LDAPMessage* entry,
                                                BerElement** ber) noexcept {
  *ber = nullptr;
  Entry* e = walk<Entry>("ldap_first_attribute", entry, kEntry);
  if (!e) return nullptr;
  Walk* w = give(std::make_shared<Walk>(Walk{e}), kWalk);
  char* name = nextName(w);
  if (st->handles.count(w)) *ber = reinterpret_cast<BerElement*>(w);
  return name;
}

FAKE_EXPORT char* LDAP_FN(ldap_next_attribute)(LDAP* ld, LDAPMessage* entry,
                                               BerElement* ber) noexcept {
  Walk* w = walk<Walk>("ldap_next_attribute", ber, kWalk);
  return w ? nextName(w) : nullptr;
}

FAKE_EXPORT struct berval** LDAP_FN(ldap_get_values_len)(LDAP* ld, LDAPMessage* entry,
                                                         const char* attr) noexcept {
  Entry* e = walk<Entry>("ldap_get_values_len", entry, kEntry);
  Attr* a = e && attr ? e->find(attr) : nullptr;
  return a && !a->values.empty() ? newValues(a->values) : nullptr;
}

FAKE_EXPORT void LDAP_FN(ldap_value_free_len)(struct berval** values) noexcept {
  freeCall("ldap_value_free_len", values, kValues);
}

#ifndef FAKELDAP_NO_OPTIONAL
FAKE_EXPORT int LDAP_FN(ldap_get_errno)(LDAP* ld) noexcept {
  int rc;
  if (enter("ldap_get_errno", "ldap_get_errno()", &rc)) return rc;
  int* lastResult = use<int>(ld, kSession, "ldap_get_errno");
  return lastResult ? *lastResult : kParamError;
}

// The walk holds no buffer of its own; freebuf is ignored.
FAKE_EXPORT void LDAP_FN(ldap_ber_free)(BerElement* ber, int freebuf) noexcept {
  freeCall("ldap_ber_free", ber, kWalk);
}
#endif

// Control functions

FAKE_EXPORT void fake_reset(void) noexcept { st.reset(new State); }

FAKE_EXPORT void fake_add_value(const char* dn, const char* attr, const void* bytes,
                                unsigned long len) noexcept {
  Entry* e = findEntry(dn);
  if (!e) e = &st->directory.emplace_back(Entry{dn, {}});
  e->add(attr, std::string(static_cast<const char*>(bytes), len));
}

FAKE_EXPORT void fake_script(const char* function, int result, int times) noexcept {
  if (times > 0 || times == -1) st->scripts[function].push_back({result, times});
}

FAKE_EXPORT int fake_log_size(void) noexcept { return static_cast<int>(st->log.size()); }

FAKE_EXPORT const char* fake_log_line(int i) noexcept {
  return i >= 0 && i < fake_log_size() ? st->log[static_cast<size_t>(i)].c_str() : "";
}

FAKE_EXPORT void fake_log_clear(void) noexcept { st->log.clear(); }

FAKE_EXPORT int fake_call_count(const char* function) noexcept {
  return st->calls.count(function) ? st->calls[function] : 0;
}

FAKE_EXPORT long fake_last_mod_value(int r, int v, const void** bytes) noexcept {
  const auto& mods = st->lastMods;
  if (r < 0 || v < 0 || size_t(r) >= mods.size() || size_t(v) >= mods[size_t(r)].size()) return -1;
  *bytes = mods[size_t(r)][size_t(v)].data();
  return static_cast<long>(mods[size_t(r)][size_t(v)].size());
}

FAKE_EXPORT int fake_outstanding(void) noexcept {
  return static_cast<int>(std::count_if(st->handles.begin(), st->handles.end(),
                                        [](const auto& h) { return h.second.first != kEntry; }));
}

FAKE_EXPORT int fake_bad_frees(void) noexcept { return static_cast<int>(st->badUses.size()); }

FAKE_EXPORT const char* fake_handle_report(void) noexcept {
  st->report = std::to_string(fake_outstanding()) + " outstanding, " +
               std::to_string(st->badUses.size()) + " bad frees";
  for (const auto& [p, h] : st->handles)
    if (h.first != kEntry) st->report += std::string("\n  outstanding ") + kKindNames[h.first];
  for (const std::string& note : st->badUses) st->report += "\n  bad free or use: " + note;
  return st->report.c_str();
}
