// Paged searches, continuation references and cut answers.
#include "search.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "incoming.h"
#include "report.h"
#include "session.h"

namespace zevldap {
namespace {

// Results of more than one page. The caller holds the first page; the walk continues from the
// last entry of a page (or from a page without entries) to the first entry of the next page
// with entries, and freeing the first page frees them all. Design choice: OpenLDAP's message
// chain is private to it, so pages are linked here, in a table, rather than spliced into one
// chain; every walking and freeing function of the library consults it.
struct Chained {
  std::vector<LDAPMessage*> pages;  // pages[0] is the result handed out
  std::vector<LDAPMessage*> keys;   // the keys of links below that belong to this result
};

std::mutex chainLock;
std::atomic<int> chainCount{0};
std::map<LDAPMessage*, Chained>& chains() {
  static std::map<LDAPMessage*, Chained>* table = new std::map<LDAPMessage*, Chained>();
  return *table;
}
std::map<LDAPMessage*, LDAPMessage*>& links() {
  static std::map<LDAPMessage*, LDAPMessage*>* table = new std::map<LDAPMessage*, LDAPMessage*>();
  return *table;
}

LDAPMessage* linked(LDAPMessage* from) {
  if (chainCount.load() == 0) return nullptr;
  std::lock_guard<std::mutex> hold(chainLock);
  auto it = links().find(from);
  return it != links().end() ? it->second : nullptr;
}

// Registers pages (at least two) as one result and returns its first page.
LDAPMessage* chain(LDAP* ld, const std::vector<LDAPMessage*>& pages) {
  Chained chained;
  chained.pages = pages;
  std::map<LDAPMessage*, LDAPMessage*> found;
  LDAPMessage* from = nullptr;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    LDAPMessage* first = ldap_first_entry(ld, pages[i]);
    if (first == nullptr) {
      if (i == 0) from = pages[0];
      continue;
    }
    if (from != nullptr) found[from] = first;
    LDAPMessage* last = first;
    for (LDAPMessage* e = first; e != nullptr; e = ldap_next_entry(ld, e)) last = e;
    from = last;
  }
  std::lock_guard<std::mutex> hold(chainLock);
  for (const auto& link : found) {
    links()[link.first] = link.second;
    chained.keys.push_back(link.first);
  }
  chains()[pages[0]] = std::move(chained);
  ++chainCount;
  return pages[0];
}

void freePages(std::vector<LDAPMessage*>& pages) {
  for (LDAPMessage* page : pages) ldap_msgfree(page);
  pages.clear();
}

void setResultCode(LDAP* ld, int rc) { ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &rc); }

typedef std::chrono::steady_clock Clock;

// Time left until the deadline, at least one microsecond while any is left; false once none.
bool remaining(Clock::time_point deadline, struct timeval* left) {
  auto rest = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (rest.count() <= 0) return false;
  left->tv_sec = static_cast<decltype(left->tv_sec)>(rest.count() / 1000000);
  left->tv_usec = static_cast<decltype(left->tv_usec)>(rest.count() % 1000000);
  return true;
}

// Whether the server's root DSE lists the paged results control; asked once per session.
bool serverPages(LDAP* ld, const SessionState& state, const struct timeval* limit) {
  if (state.paging >= 0) return state.paging == 1;
  char supported[] = "supportedControl";
  char* attrs[] = {supported, nullptr};
  LDAPMessage* answer = nullptr;
  // Bounded by the search's time limit, else by the connect timeout when one is set.
  struct timeval wait = {0, 0};
  bool bounded = limit != nullptr ? (wait = *limit, true) : connectTimeout(ld, &wait);
  int rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr,
                             bounded ? &wait : nullptr, 1, &answer);
  bool pages = false;
  if (rc == LDAP_SUCCESS) {
    LDAPMessage* entry = ldap_first_entry(ld, answer);
    struct berval** values = entry != nullptr ? ldap_get_values_len(ld, entry, supported) : nullptr;
    for (int i = 0; values != nullptr && values[i] != nullptr; ++i) {
      pages =
          pages || std::string(values[i]->bv_val, values[i]->bv_len) == LDAP_CONTROL_PAGEDRESULTS;
    }
    ldap_value_free_len(values);
  }
  ldap_msgfree(answer);
  // A root DSE that cannot be read (a closed ACL) counts as an answer: no paging. A
  // connection failure does not: the search below reports it, and the next one asks again.
  if (rc == LDAP_SUCCESS || rc > 0) setPaging(ld, pages ? 1 : 0);
  return pages;
}

// The references of one page: traced one by one, their URLs added to urls.
void collectReferences(LDAP* ld, LDAPMessage* page, const char* base,
                       std::vector<std::string>* urls) {
  for (LDAPMessage* ref = ldap_first_reference(ld, page); ref != nullptr;
       ref = ldap_next_reference(ld, ref)) {
    char** referrals = nullptr;
    if (ldap_parse_reference(ld, ref, &referrals, nullptr, 0) != LDAP_SUCCESS) continue;
    std::string joined;
    for (char** url = referrals; url != nullptr && *url != nullptr; ++url) {
      joined += (joined.empty() ? "" : " ") + std::string(*url);
    }
    ldap_memvfree(reinterpret_cast<void**>(referrals));
    urls->push_back(joined);
    trace(__LINE__, "continuation reference: " + joined + " (in the search of \"" +
                        std::string(base != nullptr ? base : "") + "\", not followed)");
  }
}

struct ControlsFreer {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};

}  // namespace

int runSearch(LDAP* ld, const char* base, int scope, const char* filter, char** attrs,
              int attrsonly, struct timeval* timeout, LDAPMessage** result) {
  *result = nullptr;
  clearDetail();
  int rc = ensureTLS(ld);
  if (rc != LDAP_SUCCESS) return rc;
  // A zero time limit means none, as for the server's own time limit.
  if (timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_usec == 0) timeout = nullptr;
  Clock::time_point deadline;
  if (timeout != nullptr) {
    deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) +
               std::chrono::microseconds(timeout->tv_usec);
  }

  // The read layer holds every read of the search, the root DSE's and all pages, to the same
  // deadline, and explains a refused message when the search fails.
  ReadingSpan reading(timeout);
  SessionState state = sessionState(ld);
  bool paged = (scope == LDAP_SCOPE_ONELEVEL || scope == LDAP_SCOPE_SUBTREE) &&
               state.pageSize > 0 && serverPages(ld, state, timeout);

  std::vector<LDAPMessage*> pages;
  std::vector<std::string> references;
  int entries = 0;
  struct berval cookie = {0, nullptr};
  int err = LDAP_SUCCESS;
  char* matched = nullptr;
  char* diagnostic = nullptr;
  char** referrals = nullptr;
  auto release = [&]() {
    ldap_memfree(matched);
    ldap_memfree(diagnostic);
    ldap_memvfree(reinterpret_cast<void**>(referrals));
    matched = diagnostic = nullptr;
    referrals = nullptr;
  };
  bool timedOut = false;
  for (;;) {
    struct timeval left = {0, 0};
    if (timeout != nullptr && !remaining(deadline, &left)) {
      timedOut = true;
      break;
    }
    LDAPControl* page = nullptr;
    if (paged) {
      rc = ldap_create_page_control(ld, static_cast<ber_int_t>(state.pageSize), &cookie, 0, &page);
      if (rc != LDAP_SUCCESS) break;
    }
    LDAPControl* controls[] = {page, nullptr};
    // The server's time limit: whole seconds left, at least one.
    struct timeval serverLimit = left;
    if (timeout != nullptr && (serverLimit.tv_usec > 0 || serverLimit.tv_sec == 0)) {
      ++serverLimit.tv_sec;
      serverLimit.tv_usec = 0;
    }
    int msgid = -1;
    rc = ldap_search_ext(ld, base, scope, filter, attrs, attrsonly, paged ? controls : nullptr,
                         nullptr, timeout != nullptr ? &serverLimit : nullptr, LDAP_NO_LIMIT,
                         &msgid);
    ldap_control_free(page);
    if (rc != LDAP_SUCCESS) break;
    LDAPMessage* answer = nullptr;
    rc = ldap_result(ld, msgid, LDAP_MSG_ALL, timeout != nullptr ? &left : nullptr, &answer);
    if (rc == 0) {
      ldap_abandon_ext(ld, msgid, nullptr, nullptr);
      timedOut = true;
      break;
    }
    if (rc < 0) {
      rc = LDAP_SERVER_DOWN;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
      if (rc == LDAP_SUCCESS) rc = LDAP_SERVER_DOWN;
      break;
    }
    pages.push_back(answer);
    entries += ldap_count_entries(ld, answer);
    collectReferences(ld, answer, base, &references);
    release();
    LDAPControl** returned = nullptr;
    rc = ldap_parse_result(ld, answer, &err, &matched, &diagnostic, &referrals, &returned, 0);
    std::unique_ptr<LDAPControl*, ControlsFreer> returnedHolder(returned);
    if (rc != LDAP_SUCCESS) break;
    if (paged && err == LDAP_ADMINLIMIT_EXCEEDED && pages.size() == 1 && entries == 0) {
      // The server lists the control but refuses it here (slapd's size.prtotal=disabled, or a
      // page larger than its size.pr): we chose to search again without paging, so the
      // answer is what a plain search gives, and say so in the trace.
      trace(__LINE__, std::string("the server refused paged results (") +
                          (diagnostic != nullptr ? diagnostic : "") + ", page size " +
                          std::to_string(state.pageSize) + "); searching without paging");
      freePages(pages);
      references.clear();
      paged = false;
      setPaging(ld, 0);
      continue;
    }
    if (!paged || err != LDAP_SUCCESS) break;
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    ber_memfree(cookie.bv_val);
    cookie = {0, nullptr};
    ber_int_t estimate = 0;
    if (response == nullptr ||
        ldap_parse_pageresponse_control(ld, response, &estimate, &cookie) != LDAP_SUCCESS ||
        cookie.bv_len == 0) {
      break;
    }
  }
  ber_memfree(cookie.bv_val);

  if (!references.empty()) {
    trace(__LINE__, std::to_string(references.size()) + " continuation reference" +
                        (references.size() == 1 ? "" : "s") + " in the search of \"" +
                        (base != nullptr ? base : "") + "\" not followed");
  }
  if (timedOut) {
    rc = LDAP_TIMEOUT;
    setDetail(rc, "the time limit ran out after " + std::to_string(entries) + " entr" +
                      (entries == 1 ? "y" : "ies") + " arrived; the answer is incomplete");
    trace(__LINE__, std::string("search \"") + (base != nullptr ? base : "") +
                        "\": " + "time limit reached in the client after " +
                        std::to_string(entries) + " entries");
  } else if (rc == LDAP_SUCCESS) {
    rc = err;
    if (err != LDAP_SUCCESS) {
      std::string note;
      if (err == LDAP_SIZELIMIT_EXCEEDED || err == LDAP_TIMELIMIT_EXCEEDED) {
        note = std::to_string(entries) + " entr" + (entries == 1 ? "y" : "ies") +
               " arrived; the answer is incomplete";
      }
      noteAnswer("search", base, err, matched, diagnostic, referrals, note);
    }
  } else {
    rc = nameTLSFailure(ld, namedIncomingFailure(ld, rc));
  }
  release();
  setResultCode(ld, rc);
  if (pages.size() == 1) {
    *result = pages[0];
  } else if (pages.size() > 1) {
    try {
      *result = chain(ld, pages);
    } catch (...) {
      freePages(pages);
      setResultCode(ld, LDAP_NO_MEMORY);
      return LDAP_NO_MEMORY;
    }
  }
  return rc;
}

LDAPMessage* firstEntry(LDAP* ld, LDAPMessage* result) {
  LDAPMessage* entry = ldap_first_entry(ld, result);
  return entry != nullptr ? entry : linked(result);
}

LDAPMessage* nextEntry(LDAP* ld, LDAPMessage* entry) {
  LDAPMessage* next = ldap_next_entry(ld, entry);
  return next != nullptr ? next : linked(entry);
}

int countEntries(LDAP* ld, LDAPMessage* result) {
  if (chainCount.load() > 0) {
    std::lock_guard<std::mutex> hold(chainLock);
    auto it = chains().find(result);
    if (it != chains().end()) {
      int total = 0;
      for (LDAPMessage* page : it->second.pages) total += ldap_count_entries(ld, page);
      return total;
    }
  }
  return ldap_count_entries(ld, result);
}

int freeResult(LDAPMessage* result) {
  if (chainCount.load() > 0) {
    std::vector<LDAPMessage*> pages;
    {
      std::lock_guard<std::mutex> hold(chainLock);
      auto it = chains().find(result);
      if (it != chains().end()) {
        for (LDAPMessage* key : it->second.keys) links().erase(key);
        pages = std::move(it->second.pages);
        chains().erase(it);
        --chainCount;
      }
    }
    if (!pages.empty()) {
      int type = ldap_msgfree(pages[0]);
      for (std::size_t i = 1; i < pages.size(); ++i) ldap_msgfree(pages[i]);
      return type;
    }
  }
  return ldap_msgfree(result);
}

}  // namespace zevldap
