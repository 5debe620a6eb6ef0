// LDAPClient and LDAPDynamicClient against the fake LDAP library, and the result set read from
// a search or from LDIF.
#include <sstream>
#include <string>
#include <vector>

#include "ldapdynamicclient.h"
#include "ldapsearch.h"
#include "support/fakeclient.h"

using namespace zev09000003;
using fakeclient::thrown;
using ::testing::ElementsAre;

namespace {

const char kHost[] = "ldap.example.com";
const std::string kInit = "ldap_init(host=ldap.example.com, port=389)";
const std::string kVersion3 = "ldap_set_option(option=17, value=3)";
const std::string kBind = "ldap_simple_bind_s(dn=cn=admin,o=x, password=secret)";
const std::string kNoSession =
    "576002 Cannot open connection to LDAP server:  ldap.example.com:389.  "
    "ldap_init() returned Success";
const std::string kNul(1, '\0');

using ClientTest = fakeclient::Test;

// A host's agent opens the session when a driver path is given; without one it is dropped.
struct TestAgent : ZEVAgent {
  int connect() const override { return ++connects, status; }
  int getReasonCode(int) const override { return 7; }
  void* getLDAPHandle() const override { return handle; }
  int status = 0;
  void* handle = nullptr;
  mutable int connects = 0;
};

TEST_F(ClientTest, InitAgentOpensTheSession) {
  const std::string driver = fakeldap::standardPath();
  fakeldap::Library& standard = fake(driver);
  TestAgent agent;
  agent.handle = testsupport::Library(driver).function<ldap_init_fn>("ldap_init")("agent", 389);
  standard.logClear();
  client_.reset(new LDAPClient(kHost, driver.c_str(), &agent, 389, 3, 0, 0));
  EXPECT_EQ(0, login());
  EXPECT_EQ(agent.handle, client_->getSession());
  EXPECT_THAT(standard.log(), ElementsAre(kVersion3, kBind));
  agent.status = 5;
  client_.reset(new LDAPClient(kHost, driver.c_str(), &agent, 389, 3, 0, 0));
  EXPECT_EQ(
      "576002 Cannot operate agent (callback) connection to LDAP server:  "
      "ldap.example.com:389.  initAgent () returned 5 and reason code 7",
      thrown([&] { login(); }));
  client_.reset(new LDAPClient(kHost, "", &agent, 389, 3, 0, 0));
  EXPECT_TRUE(
      sink->contains("InitAgent set but no driverPath specified ... initAgent is disabled"));
  EXPECT_EQ(0, login());
  EXPECT_EQ(2, agent.connects);
  EXPECT_THAT(lib.log("ldap_init("), ElementsAre(kInit));
}

// Each entry as "name=value|name=value" in map order.
std::vector<std::string> entries(LDAPSearchResults& results) {
  std::vector<std::string> out;
  while (LDAPAttributeMap* map = results.next()) {
    out.emplace_back();
    for (auto& e : *map) {
      out.back() +=
          (out.back().empty() ? "" : "|") + std::string(e.first) + "=" +
          std::string(reinterpret_cast<const char*>(e.second->getValue()), e.second->getLength());
    }
  }
  return out;
}

// A negative search timeout is not sent and a refused connect timeout is only traced. Failures
// throw and keep the partial result, whose text values get a terminator and binary ones are kept
// exactly. URLs without a host get one from their dc= parts.
TEST_F(ClientTest, SearchesByFilterAndByURL) {
  lib.addText("o=x", "o", "x");
  lib.addText("cn=a,dc=example,dc=com", "cn", "a");
  lib.addText("cn=a,o=x", "mail", "one");
  lib.addText("cn=a,o=x", "mail", "two");
  lib.addText("cn=a,o=x", "jpeg", "\xFF\xD8");
  lib.addText("cn=a,o=x", "ctl", "a\x08");
  lib.addText("cn=a,o=x", "tabs", "\t\r");
  lib.addText("cn=b,o=x", "cn", "b");
  make(kHost, 3, -1, 5);
  EXPECT_EQ("576002 LDAP server ldap.example.com did not bind",
            thrown([&] { client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0); }));
  EXPECT_EQ(0, lib.callCount("ldap_search_st"));
  lib.script("ldap_set_option", 0, 1);  // the version
  lib.script("ldap_set_option", 1, 1);  // the connect timeout
  EXPECT_EQ(0, login());
  EXPECT_THAT(lib.log("ldap_set_option("),
              ElementsAre(kVersion3, "ldap_set_option(option=70, value={5,0})"));
  EXPECT_TRUE(
      sink->contains("Could not set the connect timeout, ldap.example.com "
                     "userDN=cn=admin,o=x ldap_set_option() rc=1. Success"));
  lib.script("ldap_search_st", 4, 1);
  EXPECT_EQ("576004 Error searching LDAP server. ldap_search_st() rc=4. Size limit exceeded",
            thrown([&] { client_->search("o=x", LDAP_SCOPE_ONELEVEL, "(!(cn=z))", nullptr, 0); }));
  LDAPSearchResults partial(*client_);
  EXPECT_THAT(entries(partial),
              ElementsAre("ctl=a\x08|dn=cn=a,o=x" + kNul + "|jpeg=\xFF\xD8|mail=one" + kNul +
                              "|mail=two" + kNul + "|tabs=\t\r" + kNul,
                          "cn=b" + kNul + "|dn=cn=b,o=x" + kNul));
  ASSERT_EQ(0, client_->search("o=x", LDAP_SCOPE_ONELEVEL, "(cn=z)", nullptr, 0));
  const auto read = [&] { LDAPSearchResults results(*client_); };
  EXPECT_EQ("plain LDAPSearchResults: zero entries found.", thrown(read));
  lib.script("ldap_count_entries", -1, 1);
  lib.script("ldap_get_errno", 82, 1);
  EXPECT_EQ("plain LDAPSearchResults: Local error", thrown(read));
  EXPECT_EQ(1, client_->searchByURI("ldap:///cn=a,dc=example,dc=com?cn", 0));
  lib.script("ldap_url_search_st", 32, 1);
  EXPECT_EQ("576004 Error searching LDAP server by URI. ldap_url_search_st() rc=32. No such object",
            thrown([&] { client_->searchByURI("ldap://h/cn=gone,o=x", 0); }));
  EXPECT_EQ(
      "ldap_url_search_st(url=ldap://example.com/cn=a,dc=example,dc=com?cn, attrsonly=0, "
      "timeout=(null))",
      lib.log("ldap_url_search_st(")[0]);
}

// Text goes without its terminator, binary values whole; add and modify leave out the DN; an
// operation without a DN sends nothing and fails.
TEST_F(ClientTest, EntryModification) {
  lib.addText("o=x", "o", "x");
  make();
  login();
  lib.logClear();
  LDAPAttributeMap map;
  addAttribute(&map, "cn", "a", 0);
  EXPECT_FALSE(client_->addEntry(&map, nullptr));
  EXPECT_FALSE(client_->modifyEntry(&map, nullptr));
  EXPECT_EQ(0, lib.logSize());
  addAttribute(&map, "dn", "cn=a,o=x", 0);
  addAttribute(&map, "objectClass", "top", 0);
  addAttribute(&map, "objectClass", "person", 0);
  addAttribute(&map, "photo", "ab\x01", 3);
  EXPECT_TRUE(client_->addEntry(&map, nullptr));
  EXPECT_TRUE(client_->modifyEntry(&map, nullptr));
  const void* photo = nullptr;
  const long n = lib.lastModValue(2, 0, &photo);
  EXPECT_EQ("ab\x01", std::string(static_cast<const char*>(photo), n < 0 ? 0 : n));
  EXPECT_TRUE(client_->modifyRDN("cn=a,o=x", "cn=b", true));
  EXPECT_TRUE(client_->modifyRDN("cn=b,o=x", "cn=c", false));
  EXPECT_TRUE(client_->deleteEntry("cn=c,o=x"));
  EXPECT_FALSE(client_->deleteEntry("cn=gone,o=x"));
  EXPECT_THAT(
      lib.log(),
      ElementsAre("ldap_add_s(dn=cn=a,o=x, mods=[128:cn:1;128:objectClass:3,6;128:photo:3])",
                  "ldap_modify_s(dn=cn=a,o=x, mods=[130:cn:1;130:objectClass:3,6;130:photo:3])",
                  "ldap_modrdn_s(dn=cn=a,o=x, newrdn=cn=b, deleteoldrdn=1)",
                  "ldap_modrdn_s(dn=cn=b,o=x, newrdn=cn=c, deleteoldrdn=0)",
                  "ldap_delete_s(dn=cn=c,o=x)", "ldap_delete_s(dn=cn=gone,o=x)"));
  EXPECT_EQ(32, client_->errorCode());
  EXPECT_STREQ("No such object", client_->errorMessage(0));
  for (const char* name : {"cn", "dn", "objectClass", "photo"})
    EXPECT_TRUE(removeAttribute(&map, name, nullptr));
}

TEST(Ldif, ReadsEntriesOrReportsTheMalformedLine) {
  const struct {
    std::string input;
    std::vector<std::string> entries;  // or the error
  } rows[] = {
      {"\n\ndn: a\n\n\n\ncn: x\nCN: y\ncn:\n\n", {"dn=a", "cn=x|CN=y|cn=" + kNul}},
      {" cn :  a b  \r\ndn: c", {" cn =a b"}},  // the last line has no line feed
      {"labeledURI: ldap://h:389/o=x\ncn:: YQ==\n", {"cn=: YQ==|labeledURI=ldap://h:389/o=x"}},
      {"dn: a\ncn: a\n\ndn: b\n\nobjectClass\n", {"plain ldif file is malformed:6:objectClass"}},
      {"dn: a\n continued\n", {"plain ldif file is malformed:2: continued"}}};
  for (const auto& row : rows) {
    std::istringstream is(row.input);
    std::vector<std::string> got;
    const std::string error = thrown([&] {
      LDAPSearchResults results(is);
      EXPECT_TRUE(is.eof());
      EXPECT_EQ(row.entries.size(), results.count());
      got = entries(results);
    });
    if (error != "no exception") got.push_back(error);
    EXPECT_EQ(row.entries, got) << row.input;
  }
}

const std::string kNoOptional = fakeldap::noOptionalPath();
// A function that returns a result once instead of working.
using Script = std::pair<const char*, int>;

// Both clients open, set the version and bind; the dynamic client judges the bind by the
// session's error code, the base one by the bind's. The password is never traced.
TEST_F(ClientTest, LoginOfBothClients) {
  const std::string failed =
      "Cannot bind to LDAP server, ldap.example.com userDN=cn=admin,o=x ldap_simple_bind() rc=";
  const std::string ok = "no exception", v2 = "ldap_set_option(option=17, value=2)";
  const Script bind49 = {"ldap_simple_bind_s", 49}, bind81 = {"ldap_simple_bind_s", 81};
  const struct {
    const char* host;
    int version;
    std::string path;
    std::vector<Script> scripts;
    std::string base, dynamic;     // what is thrown, or its start
    std::vector<std::string> log;  // of the base client
  } rows[] = {
      // clang-format off
      {kHost, 2, "", {}, ok, ok, {kInit, v2, kBind}},
      {"URI", 3, "", {}, ok, ok, {"ldap_init(host=(null), port=389)", kVersion3}},
      {kHost, 3, "", {{"ldap_init", 0}}, kNoSession, kNoSession, {}},
      {kHost, 3, "", {bind49}, "576009 " + failed + "49. Invalid credentials", "576009",
       {kInit, kVersion3, kBind, "ldap_unbind()", "ldap_err2string(code=49)"}},
      {kHost, 3, "", {bind81}, "576002 " + failed + "81. Can't contact LDAP server", "576002", {}},
      {kHost, 3, "", {bind49, {"ldap_get_errno", 0}}, "576009", ok, {}},
      {kHost, 3, "", {{"ldap_get_errno", 49}}, ok, "576002 " + failed + "0. Success", {}},
      {kHost, 3, kNoOptional, {bind49}, "576009", "576009", {}}};
  // clang-format on
  for (const auto& row : rows) {
    for (bool dynamic : {false, true}) {
      SCOPED_TRACE(row.dynamic + (dynamic ? " dynamic" : " base"));
      fakeldap::Library& f = row.path.empty() ? lib : fake(row.path);
      if (dynamic)
        make<LDAPDynamicClient>(row.host, row.version, 0, 0, row.path);
      else
        make(row.host, row.version, 0, 0, row.path);
      for (const Script& s : row.scripts) f.script(s.first, s.second, 1);
      const std::string got = thrown([&] { EXPECT_EQ(0, login()); });
      const std::string& want = dynamic ? row.dynamic : row.base;
      EXPECT_EQ(want, got.substr(0, want.size()));
      EXPECT_EQ(got == ok, client_->isConnected());
      if (!dynamic && !row.log.empty()) {
        EXPECT_EQ(row.log, f.log());
      }
      for (const std::string& t : sink->texts()) EXPECT_EQ(std::string::npos, t.find("secret"));
      startOver();
    }
  }
}

// The URL search binds to the URL's server and searches its base and attributes in the caller's
// scope. Each row's client holds a result, freed first unless the library cannot parse URLs.
TEST_F(ClientTest, DynamicClientURLSearch) {
  const std::string dn = "cn=CA1,o=Example,c=GB";
  const std::string url = "ldap://ds.example.org:1389/" + dn + "?certificateRevocationList?sub";
  const struct {
    std::string path;
    Script script;        // null: none
    std::string outcome;  // the count returned, or what is thrown
    int searches;         // ldap_search_st calls by the URL search
  } rows[] = {{"", {}, "1", 1},
              {"", {"ldap_simple_bind_s", 49}, "0", 0},
              {"",
               {"ldap_search_st", 32},
               "576004 Error searching LDAP server. ldap_search_st() rc=32. No such object",
               1},
              {fakeldap::noURLSearchPath(), {}, "1", 1},
              {kNoOptional, {}, "576004 searchByURI not supported by this client", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.outcome + " " + row.path);
    fakeldap::Library& f = row.path.empty() ? lib : fake(row.path);
    f.addText(dn, "cn", "CA1");
    auto& c = make<LDAPDynamicClient>(kHost, 3, 7, 0, row.path);
    c.login(static_cast<const char*>(nullptr), nullptr);
    ASSERT_EQ(1, c.search(dn.c_str(), LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0));
    const int freed = f.callCount("ldap_msgfree"), searched = f.callCount("ldap_search_st");
    if (row.script.first != nullptr) f.script(row.script.first, row.script.second, 1);
    int count = -1;
    const std::string outcome = thrown([&] { count = c.searchByURI(url, LDAP_SCOPE_BASE); });
    EXPECT_EQ(row.outcome, outcome == "no exception" ? std::to_string(count) : outcome);
    EXPECT_EQ(freed + (row.path == kNoOptional ? 0 : 1), f.callCount("ldap_msgfree"));
    EXPECT_EQ(row.searches, f.callCount("ldap_search_st") - searched);
    if (row.searches == 1) {
      EXPECT_EQ("ldap_init(host=ds.example.org, port=1389)", f.log("ldap_init(").back());
      EXPECT_EQ("ldap_search_st(base=" + dn +
                    ", scope=0, filter=(objectClass=*), attrs=[certificateRevocationList], "
                    "attrsonly=0, timeout={7,0})",
                f.log("ldap_search_st(").back());
    }
    startOver();
  }
}

}  // namespace
