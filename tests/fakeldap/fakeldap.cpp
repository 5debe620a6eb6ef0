// Fake LDAP client library for unit tests: a directory in memory behind the C LDAP client
// functions of ldapapi.h, with the knobs, counters and call log of fakeldap_control.h.
//
// One source builds every variant; compile definitions choose the names and leave functions
// out:
//   FAKELDAP_ZEV_NAMES      LDAP functions exported as zev_ldap_... (control functions keep
//                           their names)
//   FAKELDAP_NO_SEARCH      no ldap_search_st
//   FAKELDAP_NO_OPTIONAL    no ldap_url_search_st, ldap_url_parse, ldap_free_urldesc,
//                           ldap_ber_free, ldap_get_errno
//   FAKELDAP_NO_URLSEARCH   no ldap_url_search_st
//
// The fake is single-threaded, like the code it serves: it takes no locks.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "fakeldap_control.h"
#include "ldapapi.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

#ifdef FAKELDAP_ZEV_NAMES
#define LDAP_FN(name) zev_##name
#else
#define LDAP_FN(name) name
#endif

// Placed after each LDAP function: it has exactly the signature of the function table.
#define CHECK_SIGNATURE(name) static_assert(std::is_same_v<decltype(&LDAP_FN(name)), name##_fn>)

namespace {

// Result codes the fake gives beyond those of ldapapi.h (classic values).
constexpr int kNoSuchAttribute = 16;
constexpr int kTypeOrValueExists = 20;
constexpr int kInvalidDNSyntax = 34;
constexpr int kNotAllowedOnNonLeaf = 66;
constexpr int kAlreadyExists = 68;
constexpr int kFilterError = 87;
constexpr int kParamError = 89;
constexpr int kNoMemory = 90;
constexpr int kResSearchResult = 0x65;  // what ldap_msgfree returns for a search result

// URL parse errors, numbered as OpenLDAP's LDAP_URL_ERR_* codes.
constexpr int kUrlErrParam = 2;
constexpr int kUrlErrBadScheme = 3;
constexpr int kUrlErrBadUrl = 5;
constexpr int kUrlErrBadHost = 6;
constexpr int kUrlErrBadScope = 8;

// ---------------------------------------------------------------------------------------------
// Text helpers

char lowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lower(std::string s) {
  for (char& c : s) c = lowerChar(c);
  return s;
}

bool iequal(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string orNull(const char* s) { return s ? s : "(null)"; }

std::string timevalText(const struct timeval* t) {
  if (!t) return "(null)";
  return "{" + std::to_string(t->tv_sec) + "," + std::to_string(t->tv_usec) + "}";
}

char* mallocCopy(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (!p) throw std::bad_alloc();
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Appends the byte written as two hex digits after s[i] ("\2a" in a filter, "%2A" in a URL);
// false when two hex digits do not follow.
bool hexEscape(const std::string& s, size_t i, std::string* out) {
  if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
      !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
    return false;
  *out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
  return true;
}

// Normalised DN: lower case, no blanks around the separators ',', '+' and '='. Escaped
// characters ("\,") are kept as they are.
std::string normalizeDN(const std::string& dn) {
  std::string out;
  for (size_t i = 0; i < dn.size(); ++i) {
    char c = lowerChar(dn[i]);
    if (c == '\\') {
      out += c;
      if (i + 1 < dn.size()) out += lowerChar(dn[++i]);
    } else if (c == ',' || c == '+' || c == '=') {
      while (!out.empty() && out.back() == ' ') out.pop_back();
      out += c;
      while (i + 1 < dn.size() && dn[i + 1] == ' ') ++i;
    } else {
      out += c;
    }
  }
  size_t start = out.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  out = out.substr(start);
  while (!out.empty() && out.back() == ' ' && (out.size() < 2 || out[out.size() - 2] != '\\'))
    out.pop_back();
  return out;
}

// Position of the first unescaped separator, or npos.
size_t findUnescaped(const std::string& s, char sep, size_t from = 0) {
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == sep) {
      return i;
    }
  }
  return std::string::npos;
}

std::string parentDN(const std::string& ndn) {
  size_t comma = findUnescaped(ndn, ',');
  return comma == std::string::npos ? "" : ndn.substr(comma + 1);
}

// Attribute names match without regard to case; the transfer option ";binary" on either side
// is ignored, so "userCertificate;binary" selects values stored under "userCertificate" and
// the other way round.
std::string attrBase(const std::string& name) {
  std::string l = lower(name);
  const std::string opt = ";binary";
  if (l.size() > opt.size() && endsWith(l, opt)) l.resize(l.size() - opt.size());
  return l;
}

bool attrMatches(const std::string& stored, const std::string& asked) {
  return attrBase(stored) == attrBase(asked);
}

// ---------------------------------------------------------------------------------------------
// The directory

struct Attribute {
  std::string name;
  std::vector<std::string> values;
};

struct Entry {
  std::string dn;
  std::string ndn;
  std::vector<Attribute> attrs;

  // Exact (case-insensitive) name lookup, as used for storing values.
  Attribute* find(const std::string& name) {
    for (Attribute& a : attrs)
      if (iequal(a.name, name)) return &a;
    return nullptr;
  }
  void add(const std::string& name, const std::string& value) {
    Attribute* a = find(name);
    if (!a) a = &attrs.emplace_back(Attribute{name, {}});
    a->values.push_back(value);
  }
  void removeEmpty() {
    for (size_t i = attrs.size(); i-- > 0;)
      if (attrs[i].values.empty()) attrs.erase(attrs.begin() + static_cast<long>(i));
  }
};

// ---------------------------------------------------------------------------------------------
// Search filters: (attr=*), (attr=value), (attr=a*b*c), (&...), (|...), (!...).

struct Filter {
  enum Kind { kAnd, kOr, kNot, kPresent, kEqual, kSubstring } kind;
  std::string attr;
  // Unescaped: for kEqual the value, for kSubstring the parts between '*'.
  std::vector<std::string> pieces;
  std::vector<Filter> children;
};

class FilterParser {
 public:
  explicit FilterParser(const std::string& text) : s_(text) {}

  // False when the text is not one well-formed filter.
  bool parse(Filter* out) { return parseFilter(out, 0) && pos_ == s_.size(); }

 private:
  bool parseFilter(Filter* f, int depth) {
    if (depth > 64 || pos_ + 1 >= s_.size() || s_[pos_] != '(') return false;
    char c = s_[++pos_];
    if (c == '&' || c == '|' || c == '!') {
      ++pos_;
      f->kind = c == '&' ? Filter::kAnd : c == '|' ? Filter::kOr : Filter::kNot;
      while (pos_ < s_.size() && s_[pos_] == '(') {
        f->children.emplace_back();
        if (!parseFilter(&f->children.back(), depth + 1)) return false;
      }
      if (f->children.empty() || (f->kind == Filter::kNot && f->children.size() != 1)) return false;
    } else if (!parseItem(f)) {
      return false;
    }
    return pos_ < s_.size() && s_[pos_++] == ')';
  }

  bool parseItem(Filter* f) {
    size_t eq = s_.find('=', pos_);
    size_t close = findUnescaped(s_, ')', pos_);
    if (eq == std::string::npos || close == std::string::npos || eq > close || eq == pos_)
      return false;
    f->attr = s_.substr(pos_, eq - pos_);
    for (char c : f->attr)
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == ';' || c == '.'))
        return false;  // also rejects ~=, >=, <= and :=, which the fake does not evaluate
    std::string raw = s_.substr(eq + 1, close - eq - 1);
    pos_ = close;
    if (raw == "*") {
      f->kind = Filter::kPresent;
      return true;
    }
    std::vector<std::string>& pieces = f->pieces;
    pieces.assign(1, "");
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (c == '(') return false;
      if (c == '*') {
        pieces.emplace_back();
      } else if (c == '\\') {
        if (!hexEscape(raw, i, &pieces.back())) return false;
        i += 2;
      } else {
        pieces.back() += c;
      }
    }
    f->kind = pieces.size() == 1 ? Filter::kEqual : Filter::kSubstring;
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

bool substringMatch(const std::string& value, const std::vector<std::string>& pieces) {
  std::string v = lower(value);
  size_t at = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string p = lower(pieces[i]);
    if (i == 0) {
      if (v.compare(0, p.size(), p) != 0) return false;
      at = p.size();
    } else if (i + 1 == pieces.size()) {
      return v.size() >= at + p.size() && endsWith(v, p);
    } else {
      size_t found = v.find(p, at);
      if (found == std::string::npos) return false;
      at = found + p.size();
    }
  }
  return true;
}

bool matches(const Filter& f, const Entry& e) {
  auto child = [&e](const Filter& c) { return matches(c, e); };
  if (f.kind == Filter::kAnd) return std::all_of(f.children.begin(), f.children.end(), child);
  if (f.kind == Filter::kOr) return std::any_of(f.children.begin(), f.children.end(), child);
  if (f.kind == Filter::kNot) return !matches(f.children[0], e);
  // Every entry of a real directory has an object class, stored or not.
  if (f.kind == Filter::kPresent && iequal(f.attr, "objectClass")) return true;
  for (const Attribute& a : e.attrs) {
    if (!attrMatches(a.name, f.attr)) continue;
    for (const std::string& v : a.values) {
      if (f.kind == Filter::kPresent) return true;
      if (f.kind == Filter::kEqual && iequal(v, f.pieces[0])) return true;
      if (f.kind == Filter::kSubstring && substringMatch(v, f.pieces)) return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Handles given out

struct Session {
  int lastResult = 0;
};

struct ResultMessage;

// An entry of a result: a snapshot of the directory entry with the selected attributes.
struct EntryMessage {
  std::string dn;
  std::vector<Attribute> attrs;  // values empty for attrsonly searches
  ResultMessage* owner = nullptr;
  size_t index = 0;
};

struct ResultMessage {
  std::vector<EntryMessage*> entries;
};

struct AttributeWalk {
  EntryMessage* entry;
  size_t next = 0;
};

enum class Kind { kSession, kMessage, kDN, kAttributeName, kWalk, kValues, kUrlDesc };
const char* const kKindNames[] = {"session",        "result message",       "DN",
                                  "attribute name", "attribute walk state", "value array",
                                  "URL description"};  // by Kind

struct Handle {
  Kind kind;
  std::string what;
};

struct Script {
  int result;
  int times;  // -1: every call
};

const char* const kFunctionNames[] = {
    "ldap_init",           "ldap_msgfree",        "ldap_err2string",     "ldap_set_option",
    "ldap_simple_bind_s",  "ldap_unbind",         "ldap_search_st",      "ldap_url_search_st",
    "ldap_url_parse",      "ldap_free_urldesc",   "ldap_count_entries",  "ldap_add_s",
    "ldap_delete_s",       "ldap_modify_s",       "ldap_modrdn_s",       "ldap_first_entry",
    "ldap_next_entry",     "ldap_get_dn",         "ldap_memfree",        "ldap_first_attribute",
    "ldap_next_attribute", "ldap_get_values_len", "ldap_value_free_len", "ldap_get_errno",
    "ldap_ber_free"};

void freeList(char** list) {
  for (char** p = list; p && *p; ++p) std::free(*p);
  std::free(list);
}

void freeUrlDesc(LDAPURLDesc* d) {
  if (!d) return;
  std::free(d->lud_scheme);
  std::free(d->lud_host);
  std::free(d->lud_dn);
  freeList(d->lud_attrs);
  std::free(d->lud_filter);
  freeList(d->lud_exts);
  std::free(d);
}

// Value arrays of ldap_get_values_len, null-terminated: each berval and its bytes (exactly
// bv_len of them, no terminator) are allocated apart, so that a read past the value or after
// the free shows under ASan.
void freeValues(berval** values) {
  for (berval** v = values; *v; ++v) {
    std::free((*v)->bv_val);
    std::free(*v);
  }
  std::free(values);
}

berval** newValues(const std::vector<std::string>& from) {
  auto** values = static_cast<berval**>(std::calloc(from.size() + 1, sizeof(berval*)));
  if (!values) throw std::bad_alloc();
  for (size_t i = 0; i < from.size(); ++i) {
    berval* bv = values[i] = static_cast<berval*>(std::calloc(1, sizeof(berval)));
    if (bv) bv->bv_val = static_cast<char*>(std::malloc(std::max<size_t>(from[i].size(), 1)));
    if (!bv || !bv->bv_val) {
      freeValues(values);
      throw std::bad_alloc();
    }
    bv->bv_len = from[i].size();
    std::memcpy(bv->bv_val, from[i].data(), from[i].size());
  }
  return values;
}

// All that fake_reset clears.
struct State {
  std::vector<Entry> directory_;
  bool hasCredentials_ = false;
  std::string credDN_, credPassword_;
  std::map<std::string, std::deque<Script>> scripts_;
  std::vector<std::string> log_;
  std::map<std::string, int> calls_;
  std::vector<std::vector<std::string>> lastMods_;
  std::map<const void*, Handle> handles_;
  std::set<const void*> liveEntries_;  // the entries of the live result messages
  int badFrees_ = 0;
  std::vector<std::string> badFreeNotes_;
  std::string report_;
};

class Fake : State {
 public:
  ~Fake() { releaseAll(); }

  void clear() {
    releaseAll();
    static_cast<State&>(*this) = State();
  }

  // --- directory
  Entry* findEntry(const std::string& dn) {
    std::string n = normalizeDN(dn);
    for (Entry& e : directory_)
      if (e.ndn == n) return &e;
    return nullptr;
  }
  Entry& addEntry(const std::string& dn) {
    directory_.push_back({dn, normalizeDN(dn), {}});
    return directory_.back();
  }
  std::vector<Entry>& directory() { return directory_; }
  // True when no entry lies directly below e.
  bool isLeaf(const Entry& e) const {
    for (const Entry& other : directory_)
      if (parentDN(other.ndn) == e.ndn) return false;
    return true;
  }

  void setCredentials(const char* dn, const char* pw) {
    hasCredentials_ = true;
    credDN_ = dn ? dn : "";
    credPassword_ = pw ? pw : "";
  }
  int checkBind(const char* dn, const char* pw) const {
    if (!hasCredentials_ || !dn || !*dn) return LDAP_SUCCESS;
    if (normalizeDN(dn) == normalizeDN(credDN_) && pw && credPassword_ == pw) return LDAP_SUCCESS;
    return LDAP_INVALID_CREDENTIALS;
  }

  // --- calls, log and scripts
  void count(const char* fn) { ++calls_[fn]; }
  int calls(const std::string& fn) const {
    auto it = calls_.find(fn);
    return it == calls_.end() ? 0 : it->second;
  }
  void log(std::string line) { log_.push_back(std::move(line)); }
  std::vector<std::string>& logLines() { return log_; }

  void addScript(const std::string& fn, int result, int times) {
    if (std::find(std::begin(kFunctionNames), std::end(kFunctionNames), fn) ==
        std::end(kFunctionNames)) {
      std::fprintf(stderr, "fakeldap: fake_script: no function named \"%s\"\n", fn.c_str());
      return;
    }
    if (times == 0 || times < -1) return;  // nothing to script
    scripts_[fn].push_back({result, times});
  }
  // Counts a call of fn; true (and the result in *result) when a script decides it.
  bool scriptedCall(const char* fn, int* result) {
    count(fn);
    return scripted(fn, result);
  }
  // The scripted result for this call of fn, if any; consumes one use.
  bool scripted(const char* fn, int* result) {
    auto it = scripts_.find(fn);
    if (it == scripts_.end() || it->second.empty()) return false;
    Script& s = it->second.front();
    *result = s.result;
    if (s.times > 0 && --s.times == 0) it->second.pop_front();
    return true;
  }

  // --- modification records of the last add/modify
  std::vector<std::vector<std::string>>& lastMods() { return lastMods_; }

  // --- handle accounting
  template <class T>
  T* give(T* p, Kind kind, std::string what) {
    handles_[p] = {kind, std::move(what)};
    return p;
  }
  bool isLive(const void* p, Kind kind) const {
    auto it = handles_.find(p);
    return it != handles_.end() && it->second.kind == kind;
  }
  // Frees a live handle of that kind. A null p is ignored; any other p that is not such a
  // handle counts as a bad free. True when p was freed.
  bool dispose(const void* p, Kind kind, const char* fn) {
    if (!p) return false;
    if (!isLive(p, kind)) {
      badUse(p, fn);
      return false;
    }
    handles_.erase(p);
    release(p, kind);
    return true;
  }
  // The object behind a live handle; null for a null handle, and for a dead one, which counts
  // as a bad use.
  Session* session(LDAP* ld, const char* fn) {
    return checked<Session>(ld, isLive(ld, Kind::kSession), fn);
  }
  ResultMessage* message(LDAPMessage* m, const char* fn) {
    return checked<ResultMessage>(m, isLive(m, Kind::kMessage), fn);
  }
  EntryMessage* entry(LDAPMessage* m, const char* fn) {
    return checked<EntryMessage>(m, liveEntries_.count(m) > 0, fn);
  }
  AttributeWalk* walk(BerElement* b, const char* fn) {
    return checked<AttributeWalk>(b, isLive(b, Kind::kWalk), fn);
  }
  void addLiveEntry(const void* e) { liveEntries_.insert(e); }

  int outstanding() const { return static_cast<int>(handles_.size()); }
  int badFrees() const { return badFrees_; }
  const char* report() {
    std::ostringstream s;
    s << handles_.size() << " outstanding, " << badFrees_ << " bad frees";
    for (const auto& [p, h] : handles_)
      s << "\n  outstanding " << kKindNames[static_cast<int>(h.kind)] << " " << p << " " << h.what;
    for (const std::string& n : badFreeNotes_) s << "\n  bad free or use: " << n;
    report_ = s.str();
    return report_.c_str();
  }

 private:
  template <class T>
  T* checked(void* p, bool live, const char* fn) {
    if (p && !live) badUse(p, fn);
    return live ? static_cast<T*>(p) : nullptr;
  }
  void badUse(const void* p, const char* fn) {
    ++badFrees_;
    std::ostringstream s;
    s << fn << "(" << p << "): not a live handle of this kind";
    badFreeNotes_.push_back(s.str());
  }
  void releaseAll() {
    for (auto& [p, h] : handles_) release(p, h.kind);
  }
  // Frees a handle's memory.
  void release(const void* p, Kind kind) {
    void* q = const_cast<void*>(p);
    switch (kind) {
      case Kind::kSession:
        delete static_cast<Session*>(q);
        break;
      case Kind::kMessage:
        for (EntryMessage* e : static_cast<ResultMessage*>(q)->entries) {
          liveEntries_.erase(e);
          delete e;
        }
        delete static_cast<ResultMessage*>(q);
        break;
      case Kind::kDN:
      case Kind::kAttributeName:
        std::free(q);
        break;
      case Kind::kWalk:
        delete static_cast<AttributeWalk*>(q);
        break;
      case Kind::kValues:
        freeValues(static_cast<berval**>(q));
        break;
      case Kind::kUrlDesc:
        freeUrlDesc(static_cast<LDAPURLDesc*>(q));
        break;
    }
  }
};

Fake& fake() {
  static Fake instance;
  return instance;
}

// Runs an exported function's body; nothing throws across the C boundary.
template <class R, class F>
R guarded(R onFailure, F body) {
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
}

template <class F>
void guarded(F body) {
  guarded(0, [&] {
    body();
    return 0;
  });
}

// Common head of the session functions: counts, checks the session. Returns null (and the
// result code in *rc) when the session is null or not live.
Session* enter(const char* fn, LDAP* ld, int* rc) {
  fake().count(fn);
  Session* s = fake().session(ld, fn);
  *rc = s ? LDAP_SUCCESS : kParamError;
  return s;
}

// Bind and the changes: logs "fn(args)", counts the call and checks the session; then the
// script or work() gives the result, which becomes the session's last result code.
template <class F>
int sessionCall(const char* fn, LDAP* ld, const std::string& args, F work) {
  fake().log(fn + ("(" + args + ")"));
  int rc;
  Session* s = enter(fn, ld, &rc);
  if (!s) return rc;
  if (!fake().scripted(fn, &rc)) rc = work();
  return s->lastResult = rc;
}

// The walking functions that return a pointer: count the call; a scripted call returns null.
template <class R, class F>
R walkCall(const char* fn, F body) {
  return guarded<R>(nullptr, [&]() -> R {
    int ignored;
    return fake().scriptedCall(fn, &ignored) ? nullptr : body(fake());
  });
}

// The freeing functions: count the call and free a live handle of their kind.
void freeCall(const char* fn, const void* p, Kind kind) {
  guarded([&] {
    fake().count(fn);
    fake().dispose(p, kind, fn);
  });
}

// The next attribute name of a walk, or null at the end. Without ldap_ber_free the walk
// state frees itself at the end, as a library without that function must.
char* nextName(AttributeWalk* w) {
  Fake& fk = fake();
  if (!fk.entry(reinterpret_cast<LDAPMessage*>(w->entry), "ldap_next_attribute"))
    return nullptr;  // its result message was freed
  if (w->next < w->entry->attrs.size()) {
    const std::string& name = w->entry->attrs[w->next++].name;
    return fk.give(mallocCopy(name), Kind::kAttributeName, "\"" + name + "\"");
  }
#ifdef FAKELDAP_NO_OPTIONAL
  fk.dispose(w, Kind::kWalk, "ldap_next_attribute");
#endif
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Searching

// True when the entry ndn lies in the scope of a search from nbase.
bool inScope(const std::string& ndn, const std::string& nbase, int scope) {
  if (scope == LDAP_SCOPE_BASE) return ndn == nbase;
  if (scope == LDAP_SCOPE_ONELEVEL) return parentDN(ndn) == nbase;
  return nbase.empty() || endsWith("," + ndn, "," + nbase);
}

int runSearch(const char* base, int scope, const char* filter, char** attrs, int attrsonly,
              LDAPMessage** out) {
  *out = nullptr;
  if (scope < LDAP_SCOPE_BASE || scope > LDAP_SCOPE_SUBTREE) return kParamError;
  // A missing or empty filter means every entry; a bare item gets its parentheses.
  std::string text = filter && *filter ? filter : "(objectClass=*)";
  if (text[0] != '(') text = "(" + text + ")";
  Filter f;
  if (!FilterParser(text).parse(&f)) return kFilterError;

  std::string nbase = normalizeDN(base ? base : "");
  Fake& fk = fake();
  bool baseExists = nbase.empty() || fk.findEntry(nbase);  // else the result stays empty

  // No list, an empty list or "*" selects every attribute; "1.1" alone selects none.
  bool all = !attrs || !attrs[0];
  std::vector<std::string> wanted;
  for (char** a = attrs; a && *a; ++a) {
    if (std::strcmp(*a, "*") == 0) all = true;
    wanted.emplace_back(*a);
  }

  auto* result = new ResultMessage;
  for (const Entry& e : fk.directory()) {
    if (!baseExists || !inScope(e.ndn, nbase, scope) || !matches(f, e)) continue;
    auto* em = new EntryMessage{e.dn, {}, result, result->entries.size()};
    for (const Attribute& a : e.attrs) {
      bool selected = all;
      for (const std::string& w : wanted) selected = selected || attrMatches(a.name, w);
      if (!selected || a.values.empty()) continue;
      em->attrs.push_back({a.name, attrsonly ? std::vector<std::string>() : a.values});
    }
    result->entries.push_back(em);
    fk.addLiveEntry(em);
  }
  *out = reinterpret_cast<LDAPMessage*>(
      fk.give(result, Kind::kMessage, "(" + std::to_string(result->entries.size()) + " entries)"));
  return baseExists ? LDAP_SUCCESS : LDAP_NO_SUCH_OBJECT;
}

// ldap_search_st and ldap_url_search_st after their log line: count the call, check the
// session, then search. A scripted result code still runs the search and hands over its
// message (partial results), unless the code is one of a lost connection (81, 85, 91). The
// code becomes the session's last result code.
int search(const char* fn, LDAP* ld, const char* base, int scope, const char* filter, char** attrs,
           int attrsonly, LDAPMessage** result) {
  int rc;
  Session* s = enter(fn, ld, &rc);
  if (!result) return kParamError;
  *result = nullptr;
  if (!s) return rc;
  if (!fake().scripted(fn, &rc)) {
    rc = runSearch(base, scope, filter, attrs, attrsonly, result);
  } else if (rc != LDAP_SERVER_DOWN && rc != LDAP_TIMEOUT && rc != LDAP_CONNECT_ERROR) {
    runSearch(base, scope, filter, attrs, attrsonly, result);
  }
  return s->lastResult = rc;
}

// ---------------------------------------------------------------------------------------------
// URLs

#ifndef FAKELDAP_NO_OPTIONAL
bool percentDecode(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
    } else if (hexEscape(in, i, out)) {
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// A malloc'd, null-terminated list of the decoded comma-separated items; null for none.
bool decodedList(const std::string& text, char*** out) {
  *out = nullptr;
  if (text.empty()) return true;
  std::vector<std::string> items = split(text, ',');
  char** list = static_cast<char**>(std::calloc(items.size() + 1, sizeof(char*)));
  if (!list) throw std::bad_alloc();
  *out = list;
  for (size_t i = 0; i < items.size(); ++i) {
    std::string d;
    if (items[i].empty() || !percentDecode(items[i], &d)) return false;
    list[i] = mallocCopy(d);
  }
  return true;
}

// Parses "scheme://host:port/dn?attrs?scope?filter?exts" into *d (fields malloc'd). Returns 0
// or an LDAP_URL_ERR_* code; on error the caller frees the partial description.
int parseUrl(std::string url, LDAPURLDesc* d) {
  if (url.size() >= 2 && url.front() == '<' && url.back() == '>')
    url = url.substr(1, url.size() - 2);
  size_t sep = url.find("://");
  if (sep == std::string::npos) return kUrlErrBadScheme;
  std::string scheme = lower(url.substr(0, sep));
  if (scheme != "ldap" && scheme != "ldaps" && scheme != "ldapi") return kUrlErrBadScheme;
  d->lud_scheme = mallocCopy(scheme);

  std::string rest = url.substr(sep + 3);
  size_t slash = rest.find('/');
  std::string hostport = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  if (slash == std::string::npos && hostport.find('?') != std::string::npos) return kUrlErrBadUrl;

  std::string host = hostport, port;
  if (!hostport.empty() && hostport[0] == '[') {  // [IPv6]:port
    size_t close = hostport.find(']');
    if (close == std::string::npos) return kUrlErrBadHost;
    host = hostport.substr(1, close - 1);
    std::string after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return kUrlErrBadHost;
      port = after.substr(1);
    }
  } else {
    size_t colon = hostport.rfind(':');
    if (colon != std::string::npos) {
      host = hostport.substr(0, colon);
      port = hostport.substr(colon + 1);
    }
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return kUrlErrBadHost;
    int n = std::stoi(port);
    if (n < 1 || n > 65535) return kUrlErrBadHost;
    d->lud_port = n;
  }
  std::string decoded;
  if (!percentDecode(host, &decoded)) return kUrlErrBadHost;
  if (!decoded.empty()) d->lud_host = mallocCopy(decoded);

  std::vector<std::string> fields = split(path, '?');
  if (fields.size() > 5) return kUrlErrBadUrl;
  fields.resize(5);
  if (!percentDecode(fields[0], &decoded)) return kUrlErrBadUrl;
  d->lud_dn = mallocCopy(decoded);
  if (!decodedList(fields[1], &d->lud_attrs)) return 7;  // LDAP_URL_ERR_BADATTRS
  std::string scope = lower(fields[2]);
  if (scope.empty() || scope == "base") {
    d->lud_scope = LDAP_SCOPE_BASE;
  } else if (scope == "one" || scope == "onelevel") {
    d->lud_scope = LDAP_SCOPE_ONELEVEL;
  } else if (scope == "sub" || scope == "subtree") {
    d->lud_scope = LDAP_SCOPE_SUBTREE;
  } else {
    return kUrlErrBadScope;
  }
  if (!percentDecode(fields[3], &decoded)) return 9;  // LDAP_URL_ERR_BADFILTER
  d->lud_filter = mallocCopy(decoded.empty() ? "(objectClass=*)" : decoded);
  if (!decodedList(fields[4], &d->lud_exts)) return 10;  // LDAP_URL_ERR_BADEXTS
  for (char** e = d->lud_exts; e && *e; ++e)
    if (**e == '!') d->lud_crit_exts = 1;
  return 0;
}

using UrlDescPtr = std::unique_ptr<LDAPURLDesc, void (*)(LDAPURLDesc*)>;

// The description of url; null (and the LDAP_URL_ERR_* code in *rc) when it is malformed.
UrlDescPtr newUrlDesc(const char* url, int* rc) {
  UrlDescPtr d(static_cast<LDAPURLDesc*>(std::calloc(1, sizeof(LDAPURLDesc))), freeUrlDesc);
  if (!d) throw std::bad_alloc();
  *rc = url ? parseUrl(url, d.get()) : kUrlErrParam;
  if (*rc != 0) d.reset();
  return d;
}
#endif

// ---------------------------------------------------------------------------------------------
// Modification

std::string modsText(LDAPMod** mods) {
  if (!mods) return "(null)";
  std::string out = "[";
  for (LDAPMod** m = mods; *m; ++m) {
    const LDAPMod& mod = **m;
    out += (m == mods ? "" : ";") + std::to_string(mod.mod_op) + ":" + orNull(mod.mod_type) + ":";
    bool bin = (mod.mod_op & LDAP_MOD_BVALUES) != 0;
    for (size_t i = 0;
         bin ? mod.mod_bvalues && mod.mod_bvalues[i] : mod.mod_values && mod.mod_values[i]; ++i)
      out += (i ? "," : "") +
             std::to_string(bin ? mod.mod_bvalues[i]->bv_len : std::strlen(mod.mod_values[i]));
  }
  return out + "]";
}

std::vector<std::string> modValues(const LDAPMod* m) {
  std::vector<std::string> values;
  if (m->mod_op & LDAP_MOD_BVALUES) {
    for (struct berval** v = m->mod_bvalues; v && *v; ++v)
      values.emplace_back((*v)->bv_val ? (*v)->bv_val : "", (*v)->bv_val ? (*v)->bv_len : 0);
  } else {
    for (char** v = m->mod_values; v && *v; ++v) values.emplace_back(*v);
  }
  return values;
}

// Applies mods to a copy of the entry, so that a failing record changes nothing.
int applyMods(Entry* target, LDAPMod** mods) {
  Entry e = *target;
  for (LDAPMod** m = mods; m && *m; ++m) {
    if (!(*m)->mod_type || !*(*m)->mod_type) return kParamError;
    std::string type = (*m)->mod_type;
    std::vector<std::string> values = modValues(*m);
    Attribute* a = e.find(type);
    switch ((*m)->mod_op & ~LDAP_MOD_BVALUES) {
      case LDAP_MOD_ADD:
        for (const std::string& v : values) {
          if (a && std::find(a->values.begin(), a->values.end(), v) != a->values.end())
            return kTypeOrValueExists;
          e.add(type, v);
          a = e.find(type);
        }
        break;
      case LDAP_MOD_DELETE:
        if (!a) return kNoSuchAttribute;
        if (values.empty()) a->values.clear();
        for (const std::string& v : values) {
          auto it = std::find(a->values.begin(), a->values.end(), v);
          if (it == a->values.end()) return kNoSuchAttribute;
          a->values.erase(it);
        }
        break;
      case LDAP_MOD_REPLACE:
        if (a) a->values.clear();
        for (const std::string& v : values) e.add(type, v);
        break;
      default:
        return kParamError;
    }
    e.removeEmpty();
  }
  *target = std::move(e);
  return LDAP_SUCCESS;
}

// The change of ldap_add_s (add) or ldap_modify_s.
int addOrModify(const char* dn, LDAPMod** mods, bool add) {
  Entry* e = dn ? fake().findEntry(dn) : nullptr;
  if (!dn || (add && normalizeDN(dn).empty())) return kInvalidDNSyntax;
  if (add && e) return kAlreadyExists;
  if (!add) return e ? applyMods(e, mods) : LDAP_NO_SUCH_OBJECT;
  // Every record of an add adds values, whatever its operation says.
  Entry fresh{dn, normalizeDN(dn), {}};
  for (LDAPMod** m = mods; m && *m; ++m)
    if ((*m)->mod_type)
      for (const std::string& v : modValues(*m)) fresh.add((*m)->mod_type, v);
  fake().directory().push_back(std::move(fresh));
  return LDAP_SUCCESS;
}

// An entry with entries below it is not deleted (66), as on a real server.
int deleteEntry(const char* dn) {
  Fake& fk = fake();
  Entry* e = dn ? fk.findEntry(dn) : nullptr;
  if (!e) return LDAP_NO_SUCH_OBJECT;
  if (!fk.isLeaf(*e)) return kNotAllowedOnNonLeaf;
  fk.directory().erase(fk.directory().begin() + (e - fk.directory().data()));
  return LDAP_SUCCESS;
}

// Splits an RDN "a=1+b=2" into its attribute/value pairs; false when malformed.
bool rdnPairs(const std::string& rdn, std::vector<std::pair<std::string, std::string>>* out) {
  size_t start = 0;
  for (;;) {
    size_t plus = findUnescaped(rdn, '+', start);
    std::string ava =
        rdn.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
    size_t eq = ava.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    auto trim = [](std::string s) {
      size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    out->emplace_back(trim(ava.substr(0, eq)), trim(ava.substr(eq + 1)));
    if (plus == std::string::npos) return true;
    start = plus + 1;
  }
}

// Renames a leaf entry under the same parent. The new RDN's values are added to the entry;
// with deleteoldrdn 1 the old RDN's values are removed.
int renameEntry(const char* dn, const char* newrdn, int deleteoldrdn) {
  Fake& fk = fake();
  std::vector<std::pair<std::string, std::string>> oldPairs, newPairs;
  Entry* e = dn ? fk.findEntry(dn) : nullptr;
  if (!dn || !newrdn || !rdnPairs(newrdn, &newPairs)) return kInvalidDNSyntax;
  if (!e) return LDAP_NO_SUCH_OBJECT;
  size_t comma = findUnescaped(e->dn, ',');
  std::string parent = comma == std::string::npos ? "" : e->dn.substr(comma + 1);
  std::string newDN = parent.empty() ? newrdn : std::string(newrdn) + "," + parent;
  Entry* clash = fk.findEntry(newDN);
  if (clash && clash != e) return kAlreadyExists;
  if (!fk.isLeaf(*e)) return kNotAllowedOnNonLeaf;
  if (deleteoldrdn) {
    rdnPairs(e->dn.substr(0, comma), &oldPairs);
    for (const auto& [type, value] : oldPairs)
      if (Attribute* a = e->find(type))
        for (size_t i = a->values.size(); i-- > 0;)
          if (iequal(a->values[i], value)) a->values.erase(a->values.begin() + long(i));
    e->removeEmpty();
  }
  for (const auto& [type, value] : newPairs) {
    Attribute* a = e->find(type);
    bool present = false;
    for (size_t i = 0; a && i < a->values.size(); ++i)
      present = present || iequal(a->values[i], value);
    if (!present) e->add(type, value);
  }
  e->dn = newDN;
  e->ndn = normalizeDN(newDN);
  return LDAP_SUCCESS;
}

// ldap_add_s and ldap_modify_s: record the values of the mods, then the call.
int addOrModifyCall(const char* fn, LDAP* ld, const char* dn, LDAPMod** mods, bool add) {
  auto& record = fake().lastMods();
  record.clear();
  for (LDAPMod** m = mods; m && *m; ++m) record.push_back(modValues(*m));
  return sessionCall(fn, ld, "dn=" + orNull(dn) + ", mods=" + modsText(mods),
                     [&] { return addOrModify(dn, mods, add); });
}

}  // namespace

// =============================================================================================
// LDAP functions

FAKE_EXPORT LDAP* LDAP_FN(ldap_init)(const char* host, int port) {
  return guarded<LDAP*>(nullptr, [&]() -> LDAP* {
    std::string where = "(host=" + orNull(host) + ", port=" + std::to_string(port) + ")";
    fake().log("ldap_init" + where);
    int rc;
    if (fake().scriptedCall("ldap_init", &rc)) return nullptr;
    return reinterpret_cast<LDAP*>(fake().give(new Session, Kind::kSession, where));
  });
}
CHECK_SIGNATURE(ldap_init);

FAKE_EXPORT int LDAP_FN(ldap_msgfree)(LDAPMessage* msg) {
  return guarded(-1, [&] {
    fake().count("ldap_msgfree");
    if (!msg) return 0;
    return fake().dispose(msg, Kind::kMessage, "ldap_msgfree") ? kResSearchResult : -1;
  });
}
CHECK_SIGNATURE(ldap_msgfree);

FAKE_EXPORT char* LDAP_FN(ldap_err2string)(int code) {
  static const std::pair<int, const char*> kTexts[] = {
      {0, "Success"},
      {1, "Operations error"},
      {2, "Protocol error"},
      {3, "Time limit exceeded"},
      {4, "Size limit exceeded"},
      {16, "No such attribute"},
      {20, "Type or value exists"},
      {32, "No such object"},
      {34, "Invalid DN syntax"},
      {49, "Invalid credentials"},
      {53, "Server is unwilling to perform"},
      {66, "Operation not allowed on non-leaf"},
      {68, "Already exists"},
      {81, "Can't contact LDAP server"},
      {82, "Local error"},
      {85, "Timed out"},
      {87, "Bad search filter"},
      {89, "Bad parameter to an ldap routine"},
      {90, "Out of memory"},
      {91, "Connect error"},
  };
  guarded([&] {
    fake().count("ldap_err2string");
    fake().log("ldap_err2string(code=" + std::to_string(code) + ")");
  });
  for (const auto& [known, text] : kTexts)
    if (known == code) return const_cast<char*>(text);
  return const_cast<char*>("Unknown error");
}
CHECK_SIGNATURE(ldap_err2string);

FAKE_EXPORT int LDAP_FN(ldap_set_option)(LDAP* ld, int option, const void* value) {
  return guarded(kNoMemory, [&] {
    Fake& fk = fake();
    std::string text = "(null)";
    if (value && (option == LDAP_OPT_CONNECT_TIMEOUT || option == LDAP_OPT_NETWORK_TIMEOUT))
      text = timevalText(static_cast<const struct timeval*>(value));
    else if (value)
      text = std::to_string(*static_cast<const int*>(value));
    fk.log("ldap_set_option(option=" + std::to_string(option) + ", value=" + text + ")");
    int rc;
    if (fk.scriptedCall("ldap_set_option", &rc)) return rc;
    // A null session sets a global default, as in real libraries.
    if (ld && !fk.session(ld, "ldap_set_option")) return kParamError;
    return value ? LDAP_SUCCESS : -1;  // -1: LDAP_OPT_ERROR
  });
}
CHECK_SIGNATURE(ldap_set_option);

FAKE_EXPORT int LDAP_FN(ldap_simple_bind_s)(LDAP* ld, const char* dn, const char* password) {
  return guarded(kNoMemory, [&] {
    return sessionCall("ldap_simple_bind_s", ld,
                       "dn=" + orNull(dn) + ", password=" + orNull(password),
                       [&] { return fake().checkBind(dn, password); });
  });
}
CHECK_SIGNATURE(ldap_simple_bind_s);

// The session is released whatever the result, as real libraries do; a script only changes
// the code returned.
FAKE_EXPORT int LDAP_FN(ldap_unbind)(LDAP* ld) {
  return guarded(kNoMemory, [&] {
    fake().log("ldap_unbind()");
    int rc = LDAP_SUCCESS;
    bool isScripted = fake().scriptedCall("ldap_unbind", &rc);
    if (!ld) return isScripted ? rc : kParamError;
    return fake().dispose(ld, Kind::kSession, "ldap_unbind") ? rc : kParamError;
  });
}
CHECK_SIGNATURE(ldap_unbind);

#ifndef FAKELDAP_NO_SEARCH
FAKE_EXPORT int LDAP_FN(ldap_search_st)(LDAP* ld, const char* base, int scope, const char* filter,
                                        char** attrs, int attrsonly, struct timeval* timeout,
                                        LDAPMessage** result) {
  return guarded(kNoMemory, [&] {
    std::string list = attrs ? "[" : "(null)";
    for (char** a = attrs; a && *a; ++a) list += (a == attrs ? "" : ",") + std::string(*a);
    if (attrs) list += "]";
    fake().log("ldap_search_st(base=" + orNull(base) + ", scope=" + std::to_string(scope) +
               ", filter=" + orNull(filter) + ", attrs=" + list + ", attrsonly=" +
               std::to_string(attrsonly) + ", timeout=" + timevalText(timeout) + ")");
    return search("ldap_search_st", ld, base, scope, filter, attrs, attrsonly, result);
  });
}
CHECK_SIGNATURE(ldap_search_st);
#endif

#if !defined(FAKELDAP_NO_OPTIONAL) && !defined(FAKELDAP_NO_URLSEARCH)
// Searches the URL's base, scope, filter and attributes on the session; the URL's host is not
// contacted. An unparsable URL searches with scope -1, which gives 89 (bad parameter).
FAKE_EXPORT int LDAP_FN(ldap_url_search_st)(LDAP* ld, const char* url, int attrsonly,
                                            struct timeval* timeout, LDAPMessage** result) {
  return guarded(kNoMemory, [&] {
    fake().log("ldap_url_search_st(url=" + orNull(url) + ", attrsonly=" +
               std::to_string(attrsonly) + ", timeout=" + timevalText(timeout) + ")");
    int urc;
    UrlDescPtr d = newUrlDesc(url, &urc);
    if (!d) return search("ldap_url_search_st", ld, nullptr, -1, nullptr, nullptr, 0, result);
    return search("ldap_url_search_st", ld, d->lud_dn, d->lud_scope, d->lud_filter, d->lud_attrs,
                  attrsonly, result);
  });
}
CHECK_SIGNATURE(ldap_url_search_st);
#endif

#ifndef FAKELDAP_NO_OPTIONAL
// A malformed URL gives an LDAP_URL_ERR_* code (3 for a missing or unknown scheme, 5 for a
// malformed path or escape, 6 for a bad host or port, 8 for an unknown scope) and no
// description.
FAKE_EXPORT int LDAP_FN(ldap_url_parse)(const char* url, LDAPURLDesc** description) {
  return guarded(kUrlErrParam, [&] {
    Fake& fk = fake();
    fk.count("ldap_url_parse");
    fk.log("ldap_url_parse(url=" + orNull(url) + ")");
    if (!description) return kUrlErrParam;
    *description = nullptr;
    int rc;
    if (fk.scripted("ldap_url_parse", &rc)) return rc;
    if (UrlDescPtr d = newUrlDesc(url, &rc))
      *description = fk.give(d.release(), Kind::kUrlDesc, "(" + orNull(url) + ")");
    return rc;
  });
}
CHECK_SIGNATURE(ldap_url_parse);

FAKE_EXPORT void LDAP_FN(ldap_free_urldesc)(LDAPURLDesc* description) {
  guarded([] { fake().log("ldap_free_urldesc()"); });
  freeCall("ldap_free_urldesc", description, Kind::kUrlDesc);
}
CHECK_SIGNATURE(ldap_free_urldesc);
#endif

// -1 for a null or unknown result message.
FAKE_EXPORT int LDAP_FN(ldap_count_entries)(LDAP* ld, LDAPMessage* result) {
  return guarded(-1, [&] {
    fake().log("ldap_count_entries()");
    int rc;
    if (fake().scriptedCall("ldap_count_entries", &rc)) return rc;
    ResultMessage* m = fake().message(result, "ldap_count_entries");
    return m ? static_cast<int>(m->entries.size()) : -1;
  });
}
CHECK_SIGNATURE(ldap_count_entries);

FAKE_EXPORT int LDAP_FN(ldap_add_s)(LDAP* ld, const char* dn, LDAPMod** mods) {
  return guarded(kNoMemory, [&] { return addOrModifyCall("ldap_add_s", ld, dn, mods, true); });
}
CHECK_SIGNATURE(ldap_add_s);

FAKE_EXPORT int LDAP_FN(ldap_modify_s)(LDAP* ld, const char* dn, LDAPMod** mods) {
  return guarded(kNoMemory, [&] { return addOrModifyCall("ldap_modify_s", ld, dn, mods, false); });
}
CHECK_SIGNATURE(ldap_modify_s);

FAKE_EXPORT int LDAP_FN(ldap_delete_s)(LDAP* ld, const char* dn) {
  return guarded(kNoMemory, [&] {
    return sessionCall("ldap_delete_s", ld, "dn=" + orNull(dn), [&] { return deleteEntry(dn); });
  });
}
CHECK_SIGNATURE(ldap_delete_s);

FAKE_EXPORT int LDAP_FN(ldap_modrdn_s)(LDAP* ld, const char* dn, const char* newrdn,
                                       int deleteoldrdn) {
  return guarded(kNoMemory, [&] {
    return sessionCall("ldap_modrdn_s", ld,
                       "dn=" + orNull(dn) + ", newrdn=" + orNull(newrdn) +
                           ", deleteoldrdn=" + std::to_string(deleteoldrdn),
                       [&] { return renameEntry(dn, newrdn, deleteoldrdn); });
  });
}
CHECK_SIGNATURE(ldap_modrdn_s);

// The walking functions read only their message; the session argument is not looked at.
FAKE_EXPORT LDAPMessage* LDAP_FN(ldap_first_entry)(LDAP* ld, LDAPMessage* result) {
  return walkCall<LDAPMessage*>("ldap_first_entry", [&](Fake& fk) -> LDAPMessage* {
    ResultMessage* m = fk.message(result, "ldap_first_entry");
    if (!m || m->entries.empty()) return nullptr;
    return reinterpret_cast<LDAPMessage*>(m->entries.front());
  });
}
CHECK_SIGNATURE(ldap_first_entry);

FAKE_EXPORT LDAPMessage* LDAP_FN(ldap_next_entry)(LDAP* ld, LDAPMessage* entry) {
  return walkCall<LDAPMessage*>("ldap_next_entry", [&](Fake& fk) -> LDAPMessage* {
    EntryMessage* e = fk.entry(entry, "ldap_next_entry");
    if (!e || e->index + 1 >= e->owner->entries.size()) return nullptr;
    return reinterpret_cast<LDAPMessage*>(e->owner->entries[e->index + 1]);
  });
}
CHECK_SIGNATURE(ldap_next_entry);

FAKE_EXPORT char* LDAP_FN(ldap_get_dn)(LDAP* ld, LDAPMessage* entry) {
  return walkCall<char*>("ldap_get_dn", [&](Fake& fk) -> char* {
    EntryMessage* e = fk.entry(entry, "ldap_get_dn");
    return e ? fk.give(mallocCopy(e->dn), Kind::kDN, "\"" + e->dn + "\"") : nullptr;
  });
}
CHECK_SIGNATURE(ldap_get_dn);

// Frees a DN or an attribute name, whichever p is.
FAKE_EXPORT void LDAP_FN(ldap_memfree)(void* p) {
  freeCall("ldap_memfree", p, fake().isLive(p, Kind::kDN) ? Kind::kDN : Kind::kAttributeName);
}
CHECK_SIGNATURE(ldap_memfree);

FAKE_EXPORT char* LDAP_FN(ldap_first_attribute)(LDAP* ld, LDAPMessage* entry, BerElement** ber) {
  if (ber) *ber = nullptr;
  return walkCall<char*>("ldap_first_attribute", [&](Fake& fk) -> char* {
    EntryMessage* e = fk.entry(entry, "ldap_first_attribute");
    if (!e || !ber) return nullptr;
    auto* w = fk.give(new AttributeWalk{e}, Kind::kWalk, "(walk of \"" + e->dn + "\")");
    char* name = nextName(w);
#ifdef FAKELDAP_NO_OPTIONAL
    if (name) *ber = reinterpret_cast<BerElement*>(w);  // else the walk has freed itself
#else
    *ber = reinterpret_cast<BerElement*>(w);
#endif
    return name;
  });
}
CHECK_SIGNATURE(ldap_first_attribute);

FAKE_EXPORT char* LDAP_FN(ldap_next_attribute)(LDAP* ld, LDAPMessage* entry, BerElement* ber) {
  return walkCall<char*>("ldap_next_attribute", [&](Fake& fk) -> char* {
    AttributeWalk* w = fk.walk(ber, "ldap_next_attribute");
    return w ? nextName(w) : nullptr;
  });
}
CHECK_SIGNATURE(ldap_next_attribute);

// A fresh array of the values of the attribute named attr (exactly, without regard to case).
FAKE_EXPORT struct berval** LDAP_FN(ldap_get_values_len)(LDAP* ld, LDAPMessage* entry,
                                                         const char* attr) {
  return walkCall<berval**>("ldap_get_values_len", [&](Fake& fk) -> berval** {
    EntryMessage* e = fk.entry(entry, "ldap_get_values_len");
    const Attribute* found = nullptr;
    for (size_t i = 0; e && attr && i < e->attrs.size(); ++i)
      if (iequal(e->attrs[i].name, attr)) found = &e->attrs[i];
    if (!found || found->values.empty()) return nullptr;
    return fk.give(newValues(found->values), Kind::kValues,
                   "(" + found->name + ", " + std::to_string(found->values.size()) + ")");
  });
}
CHECK_SIGNATURE(ldap_get_values_len);

FAKE_EXPORT void LDAP_FN(ldap_value_free_len)(struct berval** values) {
  freeCall("ldap_value_free_len", values, Kind::kValues);
}
CHECK_SIGNATURE(ldap_value_free_len);

#ifndef FAKELDAP_NO_OPTIONAL
FAKE_EXPORT int LDAP_FN(ldap_get_errno)(LDAP* ld) {
  return guarded(kNoMemory, [&] {
    fake().log("ldap_get_errno()");
    int rc;
    Session* s = enter("ldap_get_errno", ld, &rc);
    if (fake().scripted("ldap_get_errno", &rc)) return rc;
    return s ? s->lastResult : rc;
  });
}
CHECK_SIGNATURE(ldap_get_errno);

// The walk state holds no buffer of its own; freebuf is ignored.
FAKE_EXPORT void LDAP_FN(ldap_ber_free)(BerElement* ber, int freebuf) {
  freeCall("ldap_ber_free", ber, Kind::kWalk);
}
CHECK_SIGNATURE(ldap_ber_free);
#endif

// =============================================================================================
// Control functions

FAKE_EXPORT void fake_reset(void) { fake().clear(); }

FAKE_EXPORT int fake_add_entry(const char* dn) {
  return guarded(-1, [&] {
    if (!dn || fake().findEntry(dn)) return -1;
    fake().addEntry(dn);
    return 0;
  });
}

FAKE_EXPORT int fake_add_value(const char* dn, const char* attr, const void* bytes,
                               unsigned long len) {
  return guarded(-1, [&] {
    if (!dn || !attr || !*attr || (!bytes && len)) return -1;
    Entry* e = fake().findEntry(dn);
    if (!e) e = &fake().addEntry(dn);
    e->add(attr, std::string(static_cast<const char*>(bytes), bytes ? len : 0));
    return 0;
  });
}

FAKE_EXPORT int fake_value_count(const char* dn, const char* attr) {
  return guarded(-1, [&] {
    Entry* e = dn ? fake().findEntry(dn) : nullptr;
    if (!e) return -1;
    Attribute* a = attr ? e->find(attr) : nullptr;
    return a ? static_cast<int>(a->values.size()) : 0;
  });
}

FAKE_EXPORT int fake_get_value(const char* dn, const char* attr, int i, const void** bytes,
                               unsigned long* len) {
  return guarded(-1, [&] {
    Entry* e = dn ? fake().findEntry(dn) : nullptr;
    Attribute* a = e && attr ? e->find(attr) : nullptr;
    if (!a || i < 0 || static_cast<size_t>(i) >= a->values.size() || !bytes || !len) return -1;
    *bytes = a->values[static_cast<size_t>(i)].data();
    *len = a->values[static_cast<size_t>(i)].size();
    return 0;
  });
}

FAKE_EXPORT int fake_entry_exists(const char* dn) {
  return guarded(0, [&] { return dn && fake().findEntry(dn) ? 1 : 0; });
}

FAKE_EXPORT void fake_set_credentials(const char* dn, const char* password) {
  guarded([&] { fake().setCredentials(dn, password); });
}

FAKE_EXPORT void fake_script(const char* function, int result, int times) {
  guarded([&] {
    if (function) fake().addScript(function, result, times);
  });
}
FAKE_EXPORT int fake_log_size(void) { return static_cast<int>(fake().logLines().size()); }

FAKE_EXPORT const char* fake_log_line(int i) {
  auto& lines = fake().logLines();
  if (i < 0 || static_cast<size_t>(i) >= lines.size()) return "";
  return lines[static_cast<size_t>(i)].c_str();
}

FAKE_EXPORT void fake_log_clear(void) { fake().logLines().clear(); }

FAKE_EXPORT int fake_call_count(const char* function) {
  return guarded(0, [&] { return function ? fake().calls(function) : 0; });
}

FAKE_EXPORT long fake_last_mod_value(int r, int v, const void** bytes) {
  auto& mods = fake().lastMods();
  if (r < 0 || v < 0 || static_cast<size_t>(r) >= mods.size() ||
      static_cast<size_t>(v) >= mods[static_cast<size_t>(r)].size())
    return -1;
  const std::string& value = mods[static_cast<size_t>(r)][static_cast<size_t>(v)];
  if (bytes) *bytes = value.data();
  return static_cast<long>(value.size());
}

FAKE_EXPORT int fake_outstanding(void) { return fake().outstanding(); }

FAKE_EXPORT int fake_bad_frees(void) { return fake().badFrees(); }

FAKE_EXPORT const char* fake_handle_report(void) {
  return guarded<const char*>("", [&] { return fake().report(); });
}
