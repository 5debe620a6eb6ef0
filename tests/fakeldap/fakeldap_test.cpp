// Tests of the fake LDAP client library: the directory answers as a server would, scripts and
// logs behave as the control header says, and the variants export what they should.
#include "support/fakeldap.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ldapapi.h"

namespace {

// The LDAP functions of one loaded variant, bound by name (prefix "" or "zev_").
struct Api {
  explicit Api(const std::string& path, const std::string& prefix = "") {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto sym = [&](const char* name) { return dlsym(handle, (prefix + name).c_str()); };
    init = reinterpret_cast<ldap_init_fn>(sym("ldap_init"));
    msgfree = reinterpret_cast<ldap_msgfree_fn>(sym("ldap_msgfree"));
    setOption = reinterpret_cast<ldap_set_option_fn>(sym("ldap_set_option"));
    bind = reinterpret_cast<ldap_simple_bind_s_fn>(sym("ldap_simple_bind_s"));
    unbind = reinterpret_cast<ldap_unbind_fn>(sym("ldap_unbind"));
    search = reinterpret_cast<ldap_search_st_fn>(sym("ldap_search_st"));
    urlSearch = reinterpret_cast<ldap_url_search_st_fn>(sym("ldap_url_search_st"));
    urlParse = reinterpret_cast<ldap_url_parse_fn>(sym("ldap_url_parse"));
    freeUrl = reinterpret_cast<ldap_free_urldesc_fn>(sym("ldap_free_urldesc"));
    count = reinterpret_cast<ldap_count_entries_fn>(sym("ldap_count_entries"));
    modify = reinterpret_cast<ldap_modify_s_fn>(sym("ldap_modify_s"));
    modrdn = reinterpret_cast<ldap_modrdn_s_fn>(sym("ldap_modrdn_s"));
    firstEntry = reinterpret_cast<ldap_first_entry_fn>(sym("ldap_first_entry"));
    nextEntry = reinterpret_cast<ldap_next_entry_fn>(sym("ldap_next_entry"));
    getDN = reinterpret_cast<ldap_get_dn_fn>(sym("ldap_get_dn"));
    memfree = reinterpret_cast<ldap_memfree_fn>(sym("ldap_memfree"));
    firstAttr = reinterpret_cast<ldap_first_attribute_fn>(sym("ldap_first_attribute"));
    nextAttr = reinterpret_cast<ldap_next_attribute_fn>(sym("ldap_next_attribute"));
    values = reinterpret_cast<ldap_get_values_len_fn>(sym("ldap_get_values_len"));
    valueFree = reinterpret_cast<ldap_value_free_len_fn>(sym("ldap_value_free_len"));
    berFree = reinterpret_cast<ldap_ber_free_fn>(sym("ldap_ber_free"));
  }
  ~Api() { dlclose(handle); }

  // Every entry of a result as "dn{attr=v1,v2;attr2=}" joined by " ", freeing all it gets.
  std::string walk(LDAPMessage* result) {
    std::string out;
    for (LDAPMessage* e = firstEntry(nullptr, result); e; e = nextEntry(nullptr, e)) {
      char* dn = getDN(nullptr, e);
      out += (out.empty() ? "" : " ") + std::string(dn) + "{";
      memfree(dn);
      BerElement* ber = nullptr;
      for (char* a = firstAttr(nullptr, e, &ber); a; a = nextAttr(nullptr, e, ber)) {
        out += std::string(a) + "=";
        berval** v = values(nullptr, e, a);
        for (int i = 0; v && v[i]; ++i)
          out += (i ? "," : "") + std::string(v[i]->bv_val, v[i]->bv_len);
        valueFree(v);
        memfree(a);
        out += ";";
      }
      if (berFree) berFree(ber, 0);
      out += "}";
    }
    return out;
  }

  void* handle;
  ldap_init_fn init;
  ldap_msgfree_fn msgfree;
  ldap_set_option_fn setOption;
  ldap_simple_bind_s_fn bind;
  ldap_unbind_fn unbind;
  ldap_search_st_fn search;
  ldap_url_search_st_fn urlSearch;
  ldap_url_parse_fn urlParse;
  ldap_free_urldesc_fn freeUrl;
  ldap_count_entries_fn count;
  ldap_modify_s_fn modify;
  ldap_modrdn_s_fn modrdn;
  ldap_first_entry_fn firstEntry;
  ldap_next_entry_fn nextEntry;
  ldap_get_dn_fn getDN;
  ldap_memfree_fn memfree;
  ldap_first_attribute_fn firstAttr;
  ldap_next_attribute_fn nextAttr;
  ldap_get_values_len_fn values;
  ldap_value_free_len_fn valueFree;
  ldap_ber_free_fn berFree;
};

class FakeLdapTest : public ::testing::Test {
 protected:
  FakeLdapTest() : lib_(fakeldap::standardPath()), api_(fakeldap::standardPath()) {
    lib_.addText("o=x", "o", "x");
    lib_.addText("ou=ca, o=x", "ou", "ca");
    lib_.addText("cn=a,ou=ca,o=x", "cn", "a");
    lib_.addText("cn=a,ou=ca,o=x", "mail", "A@X");
    lib_.addText("cn=b,ou=ca,o=x", "cn", "b");
    lib_.addText("cn=b,ou=ca,o=x", "mail", "b@x");
    lib_.addText("cn=b,ou=ca,o=x", "mail", "bee@x");
    ld_ = api_.init("h", 389);
  }
  ~FakeLdapTest() override {
    if (ld_) api_.unbind(ld_);
    EXPECT_EQ(0, lib_.outstanding()) << lib_.handleReport();
    EXPECT_EQ(0, lib_.badFrees()) << lib_.handleReport();
  }

  // Runs a search; returns "rc: walk".
  std::string find(const char* base, int scope, const char* filter,
                   std::vector<const char*> attrs = {}, int attrsonly = 0) {
    attrs.push_back(nullptr);
    LDAPMessage* res = nullptr;
    int rc = api_.search(ld_, base, scope, filter, const_cast<char**>(attrs.data()), attrsonly,
                         nullptr, &res);
    std::string out = std::to_string(rc) + ": " + (res ? api_.walk(res) : "(no result)");
    api_.msgfree(res);
    return out;
  }

  fakeldap::Library lib_;
  Api api_;
  LDAP* ld_;
};

struct SearchCase {
  const char* name;
  const char* base;
  int scope;
  const char* filter;
  const char* expected;  // DNs found, or the result code
};

class SearchTest : public FakeLdapTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(SearchTest, FindsEntriesByScopeAndFilter) {
  std::string out = find(GetParam().base, GetParam().scope, GetParam().filter, {"1.1"});
  std::string dns = out;  // "0: dn{} dn{}" as "dn dn"; other codes as they are
  if (out.compare(0, 3, "0: ") == 0) {
    dns.clear();
    for (char c : out.substr(3))
      if (c != '{' && c != '}') dns += c;
  }
  EXPECT_EQ(GetParam().expected, dns);
}

INSTANTIATE_TEST_SUITE_P(
    Directory, SearchTest,
    ::testing::Values(
        SearchCase{"Base", "O=X", LDAP_SCOPE_BASE, "(objectClass=*)", "o=x"},
        SearchCase{"OneLevel", "ou=ca,o=x", LDAP_SCOPE_ONELEVEL, nullptr,
                   "cn=a,ou=ca,o=x cn=b,ou=ca,o=x"},
        SearchCase{"SubtreeInInsertionOrder", "o=x", LDAP_SCOPE_SUBTREE, "(cn=*)",
                   "cn=a,ou=ca,o=x cn=b,ou=ca,o=x"},
        SearchCase{"SpacesAfterCommas", "ou=ca,  o=x", LDAP_SCOPE_BASE, "(ou=CA)", "ou=ca, o=x"},
        SearchCase{"ValueIgnoresCase", "o=x", LDAP_SCOPE_SUBTREE, "(mail=a@x)", "cn=a,ou=ca,o=x"},
        SearchCase{"AndOrNot", "o=x", LDAP_SCOPE_SUBTREE, "(&(mail=*)(|(cn=b)(cn=c))(!(cn=a)))",
                   "cn=b,ou=ca,o=x"},
        SearchCase{"Substring", "o=x", LDAP_SCOPE_SUBTREE, "(mail=be*)", "cn=b,ou=ca,o=x"},
        SearchCase{"NothingFound", "o=x", LDAP_SCOPE_SUBTREE, "(cn=zz)", ""},
        SearchCase{"MissingBase", "o=y", LDAP_SCOPE_SUBTREE, nullptr, "32: "},
        SearchCase{"UnbalancedFilter", "o=x", LDAP_SCOPE_SUBTREE, "(&(cn=a)", "87: (no result)"},
        SearchCase{"EmptyNot", "o=x", LDAP_SCOPE_SUBTREE, "(!)", "87: (no result)"}),
    [](const auto& info) { return info.param.name; });

TEST_F(FakeLdapTest, SelectsAttributesAndOmitsValuesForAttrsOnly) {
  EXPECT_EQ("0: cn=b,ou=ca,o=x{cn=b;mail=b@x,bee@x;}", find("cn=b,ou=ca,o=x", 0, nullptr));
  EXPECT_EQ("0: cn=b,ou=ca,o=x{cn=b;mail=b@x,bee@x;}", find("cn=b,ou=ca,o=x", 0, nullptr, {"*"}));
  EXPECT_EQ("0: cn=b,ou=ca,o=x{mail=b@x,bee@x;}", find("cn=b,ou=ca,o=x", 0, nullptr, {"MAIL"}));
  EXPECT_EQ("0: cn=b,ou=ca,o=x{cn=;mail=;}", find("cn=b,ou=ca,o=x", 0, nullptr, {}, 1));
}

TEST_F(FakeLdapTest, BinaryValuesComeBackExactlyUnderEitherName) {
  const std::vector<unsigned char> der = {0x30, 0x00, 0xff, 0x00};
  lib_.addBytes("cn=a,ou=ca,o=x", "userCertificate;binary", der);
  lib_.addBytes("cn=a,ou=ca,o=x", "userCertificate;binary", {});
  for (const char* asked : {"userCertificate", "userCertificate;binary"}) {
    std::vector<char*> attrs = {const_cast<char*>(asked), nullptr};
    LDAPMessage* res = nullptr;
    ASSERT_EQ(0, api_.search(ld_, "o=x", LDAP_SCOPE_SUBTREE, "(userCertificate=*)", attrs.data(), 0,
                             nullptr, &res));
    ASSERT_EQ(1, api_.count(ld_, res));
    berval** v = api_.values(ld_, api_.firstEntry(ld_, res), "usercertificate;BINARY");
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(std::string(der.begin(), der.end()), std::string(v[0]->bv_val, v[0]->bv_len));
    EXPECT_EQ(0u, v[1]->bv_len);
    EXPECT_EQ(nullptr, v[2]);
    EXPECT_EQ(nullptr, api_.values(ld_, api_.firstEntry(ld_, res), "cn"));
    api_.valueFree(v);
    api_.msgfree(res);
  }
}

TEST_F(FakeLdapTest, ModificationsChangeTheDirectory) {
  char v1[] = "new", v2[] = "bee@x";
  char* newValues[] = {v1, nullptr};
  char* oldValues[] = {v2, nullptr};
  LDAPMod replace{LDAP_MOD_REPLACE, const_cast<char*>("cn"), {newValues}, nullptr};
  LDAPMod remove{LDAP_MOD_DELETE, const_cast<char*>("mail"), {oldValues}, nullptr};
  LDAPMod* mods[] = {&replace, &remove, nullptr};
  EXPECT_EQ(0, api_.modify(ld_, "cn=b,ou=ca,o=x", mods));
  EXPECT_EQ(32, api_.modify(ld_, "cn=zz,o=x", mods));
  EXPECT_EQ("0: cn=b,ou=ca,o=x{cn=new;mail=b@x;}", find("cn=b,ou=ca,o=x", 0, nullptr));
  const void* bytes = nullptr;
  ASSERT_EQ(5, lib_.lastModValue(1, 0, &bytes));
  EXPECT_EQ("bee@x", std::string(static_cast<const char*>(bytes), 5));
  EXPECT_EQ(0, api_.modrdn(ld_, "cn=a,ou=ca,o=x", "cn=c", 1));
  EXPECT_EQ("0: cn=c,ou=ca,o=x{mail=A@X;cn=c;}", find("cn=c,ou=ca,o=x", 0, nullptr));
  EXPECT_EQ(0, lib_.entryExists("cn=a,ou=ca,o=x"));
  EXPECT_EQ(68, api_.modrdn(ld_, "cn=c,ou=ca,o=x", "cn=b", 0));
}

TEST_F(FakeLdapTest, LogsCallsInExactFormat) {
  timeval connect{5, 250};
  int version = 3;
  char attr[] = "cn";
  char* attrs[] = {attr, nullptr};
  LDAPMessage* res = nullptr;
  api_.setOption(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
  api_.setOption(ld_, LDAP_OPT_NETWORK_TIMEOUT, &connect);
  api_.bind(ld_, "cn=admin,o=x", "secret");
  api_.search(ld_, "o=x", 2, "(cn=a)", attrs, 0, &connect, &res);
  api_.msgfree(res);
  api_.search(ld_, nullptr, 0, nullptr, nullptr, 1, nullptr, &res);
  api_.msgfree(res);
  EXPECT_EQ(std::vector<std::string>(
                {"ldap_init(host=h, port=389)", "ldap_set_option(option=17, value=3)",
                 "ldap_set_option(option=20485, value={5,250})",
                 "ldap_simple_bind_s(dn=cn=admin,o=x, password=secret)",
                 "ldap_search_st(base=o=x, scope=2, filter=(cn=a), attrs=[cn], attrsonly=0, "
                 "timeout={5,250})",
                 "ldap_search_st(base=(null), scope=0, filter=(null), attrs=(null), attrsonly=1, "
                 "timeout=(null))"}),
            lib_.log());
  EXPECT_EQ(2, lib_.callCount("ldap_msgfree"));
}

TEST_F(FakeLdapTest, ScriptedResultsFireAsQueued) {
  lib_.setCredentials("cn=admin,o=x", "secret");
  lib_.script("ldap_simple_bind_s", 49, 1);
  EXPECT_EQ(49, api_.bind(ld_, "cn=admin,o=x", "secret"));
  EXPECT_EQ(0, api_.bind(ld_, "cn=admin,o=x", "secret"));
  EXPECT_EQ(49, api_.bind(ld_, "cn=admin,o=x", "wrong"));

  lib_.script("ldap_search_st", 81, 1);
  lib_.script("ldap_search_st", 4, 1);
  EXPECT_EQ("81: (no result)", find("o=x", 0, nullptr, {"1.1"}));
  EXPECT_EQ("4: o=x{}", find("o=x", 0, nullptr, {"1.1"}));
  EXPECT_EQ("0: o=x{}", find("o=x", 0, nullptr, {"1.1"}));

  lib_.script("ldap_count_entries", -1, -1);
  lib_.script("ldap_get_values_len", 0, 1);
  LDAPMessage* res = nullptr;
  api_.search(ld_, "o=x", 0, nullptr, nullptr, 0, nullptr, &res);
  EXPECT_EQ(-1, api_.count(ld_, res));
  EXPECT_EQ(-1, api_.count(ld_, res));
  EXPECT_EQ(nullptr, api_.values(ld_, api_.firstEntry(ld_, res), "o"));
  api_.msgfree(res);

  lib_.script("ldap_init", 0, 1);
  EXPECT_EQ(nullptr, api_.init("h", 389));
  lib_.script("ldap_url_parse", 0, 1);
  LDAPURLDesc* d = reinterpret_cast<LDAPURLDesc*>(1);
  EXPECT_EQ(0, api_.urlParse("ldap://h/o=x", &d));
  EXPECT_EQ(nullptr, d);
}

struct UrlCase {
  const char* name;
  const char* url;
  int rc;
  const char* expected;  // host|port|dn|attrs|scope|filter
};

class UrlTest : public FakeLdapTest, public ::testing::WithParamInterface<UrlCase> {};

TEST_P(UrlTest, ParsesFields) {
  LDAPURLDesc* d = nullptr;
  ASSERT_EQ(GetParam().rc, api_.urlParse(GetParam().url, &d));
  if (GetParam().rc != 0) {
    EXPECT_EQ(nullptr, d);
    return;
  }
  ASSERT_NE(nullptr, d);
  std::string attrs;
  for (char** a = d->lud_attrs; a && *a; ++a) attrs += std::string(attrs.empty() ? "" : ",") + *a;
  EXPECT_EQ(GetParam().expected, (d->lud_host ? d->lud_host : "(null)") + std::string("|") +
                                     std::to_string(d->lud_port) + "|" + d->lud_dn + "|" +
                                     (d->lud_attrs ? attrs : "(null)") + "|" +
                                     std::to_string(d->lud_scope) + "|" + d->lud_filter);
  api_.freeUrl(d);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, UrlTest,
    ::testing::Values(
        UrlCase{"Full", "ldap://h:1389/cn=a%2Cb,o=x?cn,mail?sub?(cn=a%20b)", 0,
                "h|1389|cn=a,b,o=x|cn,mail|2|(cn=a b)"},
        UrlCase{"NoHostNoPort", "ldap:///o=x", 0, "(null)|0|o=x|(null)|0|(objectClass=*)"},
        UrlCase{"OneLevel", "LDAPS://h/o=x??one", 0, "h|0|o=x|(null)|1|(objectClass=*)"},
        UrlCase{"BadScheme", "http://h/o=x", 3, ""}, UrlCase{"NoScheme", "o=x", 3, ""},
        UrlCase{"BadScope", "ldap://h/o=x??deep", 8, ""},
        UrlCase{"BadPort", "ldap://h:99999/o=x", 6, ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(FakeLdapTest, UrlSearchUsesTheUrlsBaseScopeFilterAndAttributes) {
  LDAPMessage* res = nullptr;
  ASSERT_EQ(0, api_.urlSearch(ld_, "ldap://elsewhere/o=x?mail?sub?(cn=b)", 0, nullptr, &res));
  EXPECT_EQ("cn=b,ou=ca,o=x{mail=b@x,bee@x;}", api_.walk(res));
  api_.msgfree(res);
  EXPECT_EQ(89, api_.urlSearch(ld_, "nonsense", 0, nullptr, &res));
  EXPECT_EQ(nullptr, res);
}

TEST_F(FakeLdapTest, AccountingCatchesLeaksDoubleFreesAndDeadSessions) {
  LDAPMessage* res = nullptr;
  api_.search(ld_, "o=x", 0, nullptr, nullptr, 0, nullptr, &res);
  char* dn = api_.getDN(ld_, api_.firstEntry(ld_, res));
  EXPECT_EQ(3, lib_.outstanding());  // the session, the result and the DN
  api_.msgfree(res);
  EXPECT_EQ(2, lib_.outstanding());
  EXPECT_NE(std::string::npos, std::string(lib_.handleReport()).find("DN")) << lib_.handleReport();
  api_.memfree(dn);
  api_.msgfree(res);
  EXPECT_EQ(nullptr, api_.firstEntry(ld_, res));
  EXPECT_EQ(2, lib_.badFrees());

  LDAP* dead = api_.init("h", 389);
  EXPECT_EQ(0, api_.unbind(dead));
  EXPECT_NE(0, api_.bind(dead, nullptr, nullptr));
  EXPECT_NE(0, api_.unbind(dead));
  EXPECT_EQ(4, lib_.badFrees());
  lib_.reset();  // the fixture checks a clean account
  ld_ = nullptr;
}

TEST(FakeLdapVariants, LackExactlyTheirFunctions) {
  const char* optional[] = {"ldap_search_st",    "ldap_url_search_st", "ldap_url_parse",
                            "ldap_free_urldesc", "ldap_ber_free",      "ldap_get_errno"};
  const struct {
    std::string path;
    std::vector<bool> present;  // per optional function
  } cases[] = {
      {fakeldap::standardPath(), {true, true, true, true, true, true}},
      {fakeldap::noSearchPath(), {false, true, true, true, true, true}},
      {fakeldap::noOptionalPath(), {true, false, false, false, false, false}},
      {fakeldap::noURLSearchPath(), {true, false, true, true, true, true}},
  };
  for (const auto& c : cases) {
    fakeldap::Library lib(c.path);  // binds every control function
    void* h = dlopen(c.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << c.path;
    for (size_t i = 0; i < 6; ++i)
      EXPECT_EQ(c.present[i], dlsym(h, optional[i]) != nullptr) << c.path << " " << optional[i];
    EXPECT_NE(nullptr, dlsym(h, "ldap_init"));
    EXPECT_EQ(nullptr, dlsym(h, "zev_ldap_init"));
    dlclose(h);
  }
}

TEST(FakeLdapVariants, ZevVariantHasPrefixedNamesOnly) {
  fakeldap::Library lib(fakeldap::zevPath());
  Api api(fakeldap::zevPath(), "zev_");
  ASSERT_NE(nullptr, api.berFree);
  EXPECT_EQ(nullptr, dlsym(api.handle, "ldap_init"));
  EXPECT_EQ(nullptr, dlsym(api.handle, "ldap_search_st"));
  LDAP* ld = api.init(nullptr, 389);
  EXPECT_EQ(0, api.unbind(ld));
  EXPECT_EQ(std::vector<std::string>({"ldap_init(host=(null), port=389)", "ldap_unbind()"}),
            lib.log());
}

TEST(FakeLdapVariants, WalkStateFreesItselfWithoutBerFree) {
  fakeldap::Library lib(fakeldap::noOptionalPath());
  Api api(fakeldap::noOptionalPath());
  lib.addText("o=x", "o", "x");
  LDAP* ld = api.init("h", 389);
  LDAPMessage* res = nullptr;
  ASSERT_EQ(0, api.search(ld, "o=x", 0, nullptr, nullptr, 0, nullptr, &res));
  EXPECT_EQ("o=x{o=x;}", api.walk(res));
  api.msgfree(res);
  api.unbind(ld);
  EXPECT_EQ(0, lib.outstanding()) << lib.handleReport();
}

}  // namespace
