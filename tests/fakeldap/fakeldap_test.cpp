// Tests of the fake LDAP client library where a fault would let the other suites pass wrongly:
// the handle accounting, scripted results, the call log and counts, and what each variant
// exports. The directory itself is exercised by the suites that use the fake.
#include "support/fakeldap.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ldapapi.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The standard variant, loaded once for the whole run; LDAP_CALL calls its function fn.
void* standardLibrary() {
  static void* handle = dlopen(fakeldap::standardPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle;
}
#define LDAP_CALL(fn, ...) reinterpret_cast<fn##_fn>(dlsym(standardLibrary(), #fn))(__VA_ARGS__)

// A base search of o=x: "rc:entries", or "rc:none" when it gives no result message.
std::string searchOnce(LDAP* ld) {
  LDAPMessage* res = nullptr;
  int rc =
      LDAP_CALL(ldap_search_st, ld, "o=x", LDAP_SCOPE_BASE, nullptr, nullptr, 0, nullptr, &res);
  std::string count = res ? std::to_string(LDAP_CALL(ldap_count_entries, ld, res)) : "none";
  LDAP_CALL(ldap_msgfree, res);
  return std::to_string(rc) + ":" + count;
}

// A session and the result of a search that found o=x; every test leaves a clean account.
class FakeLdapTest : public ::testing::Test {
 protected:
  FakeLdapTest() : lib_(fakeldap::standardPath()) {
    lib_.addText("o=x", "o", "x");
    ld_ = LDAP_CALL(ldap_init, "h", 389);
    LDAP_CALL(ldap_search_st, ld_, "o=x", LDAP_SCOPE_BASE, nullptr, nullptr, 0, nullptr, &res_);
  }
  ~FakeLdapTest() override {
    LDAP_CALL(ldap_msgfree, res_);
    LDAP_CALL(ldap_unbind, ld_);
    EXPECT_EQ(0, lib_.outstanding()) << lib_.handleReport();
    EXPECT_EQ(0, lib_.badFrees()) << lib_.handleReport();
  }

  fakeldap::Library lib_;
  LDAP* ld_;
  LDAPMessage* res_ = nullptr;
};

// One kind of handle: how a test gets one, frees it, and uses it once freed.
struct HandleCase {
  const char* kind;  // as the handle report names it
  std::function<void*(LDAP*, LDAPMessage* entry)> get;
  std::function<void(void*)> free;
  const char* freeName;
  std::function<bool(void*)> refusedWhenFreed;  // null: not tried
};

const HandleCase kHandles[] = {
    {"session", [](LDAP*, LDAPMessage*) -> void* { return LDAP_CALL(ldap_init, "h", 1); },
     [](void* p) { LDAP_CALL(ldap_unbind, static_cast<LDAP*>(p)); }, "ldap_unbind",
     [](void* p) { return LDAP_CALL(ldap_simple_bind_s, static_cast<LDAP*>(p), "", "") == 89; }},
    {"result message",
     [](LDAP* ld, LDAPMessage*) -> void* {
       LDAPMessage* res = nullptr;
       LDAP_CALL(ldap_search_st, ld, "o=x", LDAP_SCOPE_BASE, nullptr, nullptr, 0, nullptr, &res);
       return res;
     },
     [](void* p) { LDAP_CALL(ldap_msgfree, static_cast<LDAPMessage*>(p)); }, "ldap_msgfree",
     [](void* p) { return !LDAP_CALL(ldap_first_entry, nullptr, static_cast<LDAPMessage*>(p)); }},
    {"DN", [](LDAP*, LDAPMessage* e) -> void* { return LDAP_CALL(ldap_get_dn, nullptr, e); },
     [](void* p) { LDAP_CALL(ldap_memfree, p); }, "ldap_memfree", nullptr},
    {"value array",
     [](LDAP*, LDAPMessage* e) -> void* { return LDAP_CALL(ldap_get_values_len, nullptr, e, "o"); },
     [](void* p) { LDAP_CALL(ldap_value_free_len, static_cast<berval**>(p)); },
     "ldap_value_free_len", nullptr},
    {"attribute walk state",
     [](LDAP*, LDAPMessage* e) -> void* {
       BerElement* ber = nullptr;
       LDAP_CALL(ldap_memfree, LDAP_CALL(ldap_first_attribute, nullptr, e, &ber));
       return ber;
     },
     [](void* p) { LDAP_CALL(ldap_ber_free, static_cast<BerElement*>(p), 0); }, "ldap_ber_free",
     nullptr},
    {"URL description",
     [](LDAP*, LDAPMessage*) -> void* {
       LDAPURLDesc* d = nullptr;
       LDAP_CALL(ldap_url_parse, "ldap:///o=x", &d);
       return d;
     },
     [](void* p) { LDAP_CALL(ldap_free_urldesc, static_cast<LDAPURLDesc*>(p)); },
     "ldap_free_urldesc", nullptr},
};

void PrintTo(const HandleCase& c, std::ostream* os) { *os << c.kind; }

class HandleTest : public FakeLdapTest, public ::testing::WithParamInterface<HandleCase> {};

TEST_P(HandleTest, CatchesLeaksDoubleFreesAndDeadUses) {
  const HandleCase& c = GetParam();
  void* h = c.get(ld_, LDAP_CALL(ldap_first_entry, ld_, res_));
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(3, lib_.outstanding());  // with the fixture's session and result
  EXPECT_THAT(lib_.handleReport(), HasSubstr("outstanding " + std::string(c.kind)));
  c.free(h);
  EXPECT_EQ(2, lib_.outstanding()) << lib_.handleReport();
  EXPECT_EQ(0, lib_.badFrees()) << lib_.handleReport();
  c.free(h);
  EXPECT_EQ(1, lib_.badFrees());
  EXPECT_THAT(lib_.handleReport(), HasSubstr(c.freeName + std::string("(")));
  int local = 0;
  c.free(&local);
  EXPECT_EQ(2, lib_.badFrees()) << "a pointer the fake never gave out";
  if (c.refusedWhenFreed) {
    EXPECT_TRUE(c.refusedWhenFreed(h));
    EXPECT_EQ(3, lib_.badFrees());
  }
  lib_.reset();  // clears the bad frees; the fixture's handles go with them
  res_ = nullptr;
  ld_ = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandleTest, ::testing::ValuesIn(kHandles),
                         [](const auto& info) { return std::string(info.param.freeName); });

struct ScriptCase {
  ScriptCase(const char* function, std::vector<std::pair<int, int>> scripts,
             std::function<std::string(LDAP*)> call, std::vector<std::string> results)
      : function(function), scripts(scripts), call(call), results(results) {}
  const char* function;
  std::vector<std::pair<int, int>> scripts;  // result and times, queued in this order
  std::function<std::string(LDAP*)> call;
  std::vector<std::string> results;  // of successive calls
};

const ScriptCase kScripts[] = {
    ScriptCase("ldap_simple_bind_s", {{49, 2}, {81, 1}},
               [](LDAP* ld) {
                 int rc = LDAP_CALL(ldap_simple_bind_s, ld, "cn=a,o=x", "pw");
                 return std::to_string(rc) + "/" + std::to_string(LDAP_CALL(ldap_get_errno, ld));
               },
               {"49/49", "49/49", "81/81", "0/0"}),
    // Codes of a lost connection give no message; others keep the search's (partial results).
    ScriptCase("ldap_search_st", {{81, 1}, {85, 1}, {91, 1}, {4, 1}}, searchOnce,
               {"81:none", "85:none", "91:none", "4:1", "0:1"}),
    ScriptCase("ldap_count_entries", {{-1, -1}}, searchOnce, {"0:-1", "0:-1", "0:-1"}),
    // The session is released whatever the result.
    ScriptCase(
        "ldap_unbind", {{81, 1}},
        [](LDAP*) { return std::to_string(LDAP_CALL(ldap_unbind, LDAP_CALL(ldap_init, "h", 1))); },
        {"81", "0"}),
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.function; }

class ScriptTest : public FakeLdapTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptTest, DecidesItsCallsInOrder) {
  const ScriptCase& c = GetParam();
  for (const auto& [result, times] : c.scripts) lib_.script(c.function, result, times);
  const int before = lib_.callCount(c.function);
  for (size_t i = 0; i < c.results.size(); ++i) EXPECT_EQ(c.results[i], c.call(ld_)) << i;
  EXPECT_EQ(before + static_cast<int>(c.results.size()), lib_.callCount(c.function));
}

INSTANTIATE_TEST_SUITE_P(Functions, ScriptTest, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.function); });

// A scripted call and a call without a session are logged too; the walking and freeing
// functions are only counted.
TEST_F(FakeLdapTest, LogsEveryCallAndCountsWalkingOnes) {
  lib_.script("ldap_simple_bind_s", 49, 1);
  LDAP_CALL(ldap_simple_bind_s, ld_, "cn=admin,o=x", "secret");
  LDAPMessage* res = nullptr;
  EXPECT_EQ(89, LDAP_CALL(ldap_search_st, nullptr, "o=y", 2, "(cn=a)", nullptr, 1, nullptr, &res));
  LDAP_CALL(ldap_count_entries, ld_, res_);
  LDAP_CALL(ldap_first_entry, ld_, res_);
  EXPECT_THAT(lib_.log(),
              ElementsAre("ldap_init(host=h, port=389)",
                          "ldap_search_st(base=o=x, scope=0, filter=(null), attrs=(null), "
                          "attrsonly=0, timeout=(null))",
                          "ldap_simple_bind_s(dn=cn=admin,o=x, password=secret)",
                          "ldap_search_st(base=o=y, scope=2, filter=(cn=a), attrs=(null), "
                          "attrsonly=1, timeout=(null))",
                          "ldap_count_entries()"));
  EXPECT_EQ(1, lib_.callCount("ldap_first_entry"));
  EXPECT_EQ(2, lib_.callCount("ldap_search_st"));
}

TEST(FakeLdapVariants, ExportExactlyTheirFunctions) {
  const char* const optional[] = {"ldap_search_st",    "ldap_url_search_st", "ldap_url_parse",
                                  "ldap_free_urldesc", "ldap_ber_free",      "ldap_get_errno"};
  const struct {
    std::string path, prefix, otherPrefix;
    std::vector<bool> present;  // per optional function
  } cases[] = {
      {fakeldap::standardPath(), "", "zev_", {true, true, true, true, true, true}},
      {fakeldap::zevPath(), "zev_", "", {true, true, true, true, true, true}},
      {fakeldap::noSearchPath(), "", "zev_", {false, true, true, true, true, true}},
      {fakeldap::noOptionalPath(), "", "zev_", {true, false, false, false, false, false}},
      {fakeldap::noURLSearchPath(), "", "zev_", {true, false, true, true, true, true}},
  };
  for (const auto& c : cases) {
    fakeldap::Library lib(c.path);  // binds every control function under its own name
    void* h = dlopen(c.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << c.path;
    EXPECT_NE(nullptr, dlsym(h, (c.prefix + "ldap_init").c_str())) << c.path;
    EXPECT_EQ(nullptr, dlsym(h, (c.otherPrefix + "ldap_init").c_str())) << c.path;
    for (size_t i = 0; i < c.present.size(); ++i) {
      EXPECT_EQ(c.present[i], dlsym(h, (c.prefix + optional[i]).c_str()) != nullptr)
          << c.path << " " << optional[i];
    }
    dlclose(h);
  }
}

}  // namespace
