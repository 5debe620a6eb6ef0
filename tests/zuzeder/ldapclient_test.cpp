// LDAPClient against the fake LDAP library: login roads and their failures, options and
// timeouts, searching by filter and by URL, and entry modification.
#include "ldapclient.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "ldapsearch.h"
#include "support/fakeclient.h"

using namespace zev09000003;
using fakeclient::thrown;
using ::testing::ElementsAre;
using ::testing::SizeIs;

namespace {

const char kHost[] = "ldap.example.com";
const std::string kVersion3 = "ldap_set_option(option=17, value=3)";

using ClientTest = fakeclient::ClientTest;

// ---------------------------------------------------------------------------------------------
// Init agent (used only with a driver path)

class TestAgent : public ZEVAgent {
 public:
  int connect() const override { return ++connects, status; }
  int getReasonCode(int) const override { return 7; }
  void* getLDAPHandle() const override { return handle; }
  int status = 0;
  void* handle = nullptr;
  mutable int connects = 0;
};

class AgentTest : public ClientTest {
 protected:
  void agentClient() { make(kHost, 0, 0, 3, fakeldap::standardPath(), &agent); }
  fakeldap::Library& standard = fake(fakeldap::standardPath());
  TestAgent agent;
};

TEST_F(AgentTest, AgentSessionIsBoundWithoutLdapInit) {
  // A session of the fake, opened the way a host's agent would.
  void* self = dlopen(fakeldap::standardPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  agent.handle = reinterpret_cast<ldap_init_fn>(dlsym(self, "ldap_init"))("agent", 389);
  dlclose(self);
  standard.logClear();
  agentClient();
  EXPECT_EQ(0, login());
  EXPECT_EQ(1, agent.connects);
  EXPECT_EQ(agent.handle, client_->getSession());
  EXPECT_THAT(standard.log(),
              ElementsAre(kVersion3, "ldap_simple_bind_s(dn=cn=admin,o=x, password=secret)"));
  EXPECT_TRUE(sink->contains("InitAgent beig used"));
}

TEST_F(AgentTest, FailedAgentLoginThrowsAndInitClientOnlyTraces) {
  const struct {
    int status;  // 0: the agent connects but gives no session
    const char* text;
  } rows[] = {{5,
               "Cannot operate agent (callback) connection to LDAP server:  "
               "ldap.example.com:389.  initAgent () returned 5 and reason code 7"},
              {0, "LDAP Init Callback returned a NULL handle:  Host: ldap.example.com Port: 389"}};
  for (const auto& row : rows) {
    agent.status = row.status;
    agentClient();
    EXPECT_EQ(std::string("576002 ") + row.text, thrown([&] { login(); }));
    EXPECT_FALSE(client_->isConnected());
    sink->clear();
    EXPECT_FALSE(client_->init_client());
    EXPECT_THAT(texts(), ElementsAre("InitAgent beig used", row.text));
    EXPECT_EQ(0, standard.logSize());
  }
}

TEST_F(ClientTest, AgentWithoutDriverPathIsDropped) {
  TestAgent agent;
  make(kHost, 0, 0, 3, "", &agent);
  EXPECT_TRUE(
      sink->contains("InitAgent set but no driverPath specified ... initAgent is disabled"));
  EXPECT_EQ(0, login());
  EXPECT_EQ(0, agent.connects);
  EXPECT_THAT(lib.log("ldap_init("), ElementsAre("ldap_init(host=ldap.example.com, port=389)"));
}

// ---------------------------------------------------------------------------------------------
// Opening and binding

struct LoginRoad {
  const char* name;
  const char* host;
  int version;
  const char* scripted;  // a function that returns rc instead of working, or null
  int rc;
  std::string thrown;  // empty: login returns 0
  std::vector<std::string> log;
};

class LoginRoads : public ClientTest, public ::testing::WithParamInterface<LoginRoad> {};

TEST_P(LoginRoads, OpenSetVersionBind) {
  const LoginRoad& road = GetParam();
  make(road.host, 0, 0, road.version);
  if (road.scripted) lib.script(road.scripted, road.rc, 1);
  const std::string got = thrown([&] { EXPECT_EQ(0, login()); });
  EXPECT_EQ(road.thrown.empty() ? "no exception" : road.thrown, got);
  EXPECT_EQ(road.log, lib.log());
  EXPECT_EQ(road.thrown.empty(), client_->isConnected());
  if (!road.thrown.empty()) {
    EXPECT_EQ(road.rc, client_->errorCode());
  }
  for (const ZEVTraceRecord& r : sink->records()) EXPECT_EQ(r.text.find("secret"), r.text.npos);
}

const char kInit[] = "ldap_init(host=ldap.example.com, port=389)";
const char kBind[] = "ldap_simple_bind_s(dn=cn=admin,o=x, password=secret)";
const char kBindFailed[] =
    "Cannot bind to LDAP server, ldap.example.com userDN=cn=admin,o=x ldap_simple_bind() rc=";

const char kNoHost[] = "ldap_init(host=(null), port=389)";
const std::string kV2 = "ldap_set_option(option=17, value=2)";
const std::string kUnbind = "ldap_unbind()";
const std::string k576009 = std::string("576009 ") + kBindFailed;
const std::string k576002 = std::string("576002 ") + kBindFailed;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Login, LoginRoads, ::testing::Values(
    LoginRoad{"Version2", kHost, 2, nullptr, 0, "", {kInit, kV2, kBind}},
    LoginRoad{"UriHostDoesNotBind", "URI", 3, nullptr, 0, "", {kNoHost, kVersion3}},
    LoginRoad{"LowerUriHost", "uri", 3, nullptr, 0, "", {kNoHost, kVersion3}},
    LoginRoad{"NullSession", kHost, 3, "ldap_init", 0,
              "576002 Cannot open connection to LDAP server:  ldap.example.com:389.  "
              "ldap_init() returned Success", {kInit, "ldap_err2string(code=0)"}},
    LoginRoad{"InvalidCredentials", kHost, 3, "ldap_simple_bind_s", 49,
              k576009 + "49. Invalid credentials",
              {kInit, kVersion3, kBind, kUnbind, "ldap_err2string(code=49)"}},
    LoginRoad{"NoSuchObject", kHost, 3, "ldap_simple_bind_s", 32, k576009 + "32. No such object",
              {kInit, kVersion3, kBind, kUnbind, "ldap_err2string(code=32)"}},
    LoginRoad{"ServerDown", kHost, 3, "ldap_simple_bind_s", 81,
              k576002 + "81. Can't contact LDAP server",
              {kInit, kVersion3, kBind, kUnbind, "ldap_err2string(code=81)"}}),
    fakeclient::RowName());
// clang-format on

// A connect timeout that the library refuses is only traced.
TEST_F(ClientTest, TimeoutsReachTheLibraryOnlyWhenPositive) {
  const struct {
    int search, connect;
    bool refused;
    const char* connectOption;  // null: option 70 not set
    const char* searchTimeout;
  } rows[] = {{0, 0, false, nullptr, "(null)"},
              {-1, -3, false, nullptr, "(null)"},
              {7, 5, false, "ldap_set_option(option=70, value={5,0})", "{7,0}"},
              {7, 5, true, "ldap_set_option(option=70, value={5,0})", "{7,0}"}};
  for (const auto& row : rows) {
    lib.addText("o=x", "o", "x");
    make(kHost, row.search, row.connect);
    if (row.refused) {
      lib.script("ldap_set_option", 0, 1);  // protocol version
      lib.script("ldap_set_option", 1, 1);  // connect timeout
    }
    EXPECT_EQ(0, login());
    EXPECT_EQ(1, client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0));
    std::vector<std::string> options{kVersion3};
    if (row.connectOption) options.push_back(row.connectOption);
    EXPECT_EQ(options, lib.log("ldap_set_option("));
    EXPECT_THAT(lib.log("ldap_search_st("),
                ElementsAre(std::string("ldap_search_st(base=o=x, scope=0, filter=(o=*), "
                                        "attrs=(null), attrsonly=0, timeout=") +
                            row.searchTimeout + ")"));
    EXPECT_EQ(row.refused, sink->contains("Could not set the connect timeout, ldap.example.com "
                                          "userDN=cn=admin,o=x ldap_set_option() rc=1. Success"));
    startOver();
  }
}

// ---------------------------------------------------------------------------------------------
// Searching

TEST_F(ClientTest, SearchWithoutSessionThrows) {
  make();
  EXPECT_EQ("576002 LDAP server ldap.example.com did not bind",
            thrown([&] { client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0); }));
  EXPECT_EQ(0, lib.callCount("ldap_search_st"));
}

TEST_F(ClientTest, FailedSearchKeepsPartialResult) {
  lib.addText("o=x", "o", "x");
  lib.addText("cn=a,o=x", "cn", "a");
  lib.addText("cn=b,o=x", "cn", "b");
  make();
  login();
  lib.script("ldap_search_st", 4, 1);
  EXPECT_EQ("576004 Error searching LDAP server. ldap_search_st() rc=4. Size limit exceeded",
            thrown([&] { client_->search("o=x", LDAP_SCOPE_SUBTREE, "(cn=*)", nullptr, 0); }));
  EXPECT_EQ(4, client_->errorCode());
  EXPECT_EQ(2u, LDAPSearchResults(*client_).count());
}

TEST_F(ClientTest, SearchAfterInitClientBindsAnonymouslyOnce) {
  lib.addText("o=x", "o", "x");
  make();
  EXPECT_TRUE(client_->init_client());
  EXPECT_TRUE(client_->isBindPending());
  EXPECT_THAT(lib.log(), ElementsAre("ldap_init(host=(null), port=389)"));
  EXPECT_EQ(1, client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0));
  EXPECT_EQ(1, client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0));
  EXPECT_FALSE(client_->isBindPending());
  EXPECT_THAT(lib.log("ldap_init("), ElementsAre("ldap_init(host=(null), port=389)",
                                                 "ldap_init(host=ldap.example.com, port=389)"));
  EXPECT_THAT(lib.log("ldap_simple_bind_s("),
              ElementsAre("ldap_simple_bind_s(dn=(null), password=(null))"));
  // The session opened by init_client is not kept and not leaked (checked at teardown).
  EXPECT_THAT(lib.log("ldap_unbind("), SizeIs(1));
  // On an open session, init_client only marks the next search.
  lib.logClear();
  EXPECT_TRUE(client_->init_client());
  EXPECT_TRUE(client_->isBindPending());
  EXPECT_EQ(0, lib.logSize());
}

TEST_F(ClientTest, UrlSearchSendsTheUrlTheHostConversionGives) {
  const struct {
    const char* url;
    bool description;  // false: ldap_url_parse gives none
    const char* sent;
  } rows[] = {
      {"ldap:///cn=a,dc=example,dc=com?cn", true, "ldap://example.com/cn=a,dc=example,dc=com?cn"},
      {"ldap://h.example.org:1389/cn=a,dc=example,dc=com", true,
       "ldap://h.example.org:1389/cn=a,dc=example,dc=com"},
      {"ldap:///cn=a,dc=example,dc=com", false, "ldap:///cn=a,dc=example,dc=com"}};
  for (const auto& row : rows) {
    lib.addText("cn=a,dc=example,dc=com", "cn", "a");
    make(kHost, 9);
    login();
    if (!row.description) lib.script("ldap_url_parse", 0, 1);
    client_->searchByURI(row.url, 0);
    EXPECT_THAT(lib.log("ldap_url_search_st("),
                ElementsAre(std::string("ldap_url_search_st(url=") + row.sent +
                            ", attrsonly=0, timeout={9,0})"));
    startOver();
  }
}

TEST_F(ClientTest, FailedUrlSearchThrows) {
  make();
  login();
  lib.script("ldap_url_search_st", 32, 1);
  EXPECT_EQ("576004 Error searching LDAP server by URI. ldap_url_search_st() rc=32. No such object",
            thrown([&] { client_->searchByURI("ldap://h/cn=gone,o=x", 0); }));
}

TEST_F(ClientTest, UrlSearchWithoutUrlFunctionsIsRefusedAfterReleasingTheResult) {
  fakeldap::Library& noopt = fake(fakeldap::noOptionalPath());
  noopt.addText("o=x", "o", "x");
  make(kHost, 0, 0, 3, fakeldap::noOptionalPath());
  login();
  client_->search("o=x", LDAP_SCOPE_BASE, "(o=*)", nullptr, 0);
  int freed = noopt.callCount("ldap_msgfree");
  EXPECT_EQ("576004 searchByURI not supported by this client",
            thrown([&] { client_->searchByURI("ldap://h/o=x", 0); }));
  EXPECT_EQ(freed + 1, noopt.callCount("ldap_msgfree"));
  // Without ldap_get_errno the stored code is reported.
  noopt.script("ldap_delete_s", 53, 1);
  EXPECT_FALSE(client_->deleteEntry("o=x"));
  EXPECT_EQ(53, client_->errorCode());
}

TEST_F(ClientTest, ConvertDCtoHostOnlyConvertsTheLdapScheme) {
  const char* const rows[][2] = {
      {"LdAp:///cn=a,dc=example,dc=com", "LdAp://example.com/cn=a,dc=example,dc=com"},
      {"ldaps:///dc=com", "ldaps:///dc=com"},
      {"example.com", "example.com"},
      {"ldap:///o=x", "ldap:///o=x"},  // no dc= parts: traced
  };
  for (const auto& row : rows) EXPECT_EQ(row[1], LDAPClient::convertDCtoHost(row[0]).str());
  EXPECT_TRUE(sink->contains("convertDCtoHost error on : ldap:///o=x"));
}

// ---------------------------------------------------------------------------------------------
// Entry modification

class ModifyTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    lib.addText("o=x", "o", "x");
    make();
    login();
    lib.logClear();
  }
  std::string sentValue(int r, int v) {
    const void* bytes = nullptr;
    long n = lib.lastModValue(r, v, &bytes);
    return n < 0 ? "<none>" : std::string(static_cast<const char*>(bytes), n);
  }
  fakeclient::OwnedMap map;
};

TEST_F(ModifyTest, EachOperationSendsItsRecordsAddAndModifyWithoutTheDN) {
  addAttribute(&map, "dn", "cn=a,o=x", 0);
  addAttribute(&map, "cn", "a", 0);
  addAttribute(&map, "objectClass", "top", 0);
  addAttribute(&map, "objectClass", "person", 0);
  EXPECT_TRUE(client_->addEntry(&map, nullptr));
  EXPECT_TRUE(client_->modifyEntry(&map, nullptr));
  EXPECT_EQ("a", sentValue(0, 0));
  EXPECT_EQ("person", sentValue(1, 1));
  EXPECT_EQ("<none>", sentValue(2, 0));
  EXPECT_TRUE(client_->modifyRDN("cn=a,o=x", "cn=b", true));
  EXPECT_TRUE(client_->modifyRDN("cn=b,o=x", "cn=c", false));
  EXPECT_THAT(lib.log(),
              ElementsAre("ldap_add_s(dn=cn=a,o=x, mods=[128:cn:1;128:objectClass:3,6])",
                          "ldap_modify_s(dn=cn=a,o=x, mods=[130:cn:1;130:objectClass:3,6])",
                          "ldap_modrdn_s(dn=cn=a,o=x, newrdn=cn=b, deleteoldrdn=1)",
                          "ldap_modrdn_s(dn=cn=b,o=x, newrdn=cn=c, deleteoldrdn=0)"));
  EXPECT_TRUE(sink->contains("cn=a,o=x"));
  EXPECT_TRUE(sink->contains("cn=a,o=x , cn=b"));
}

TEST_F(ModifyTest, TextLosesItsTerminatorBinaryGoesWhole) {
  struct Row {
    std::string stored, sent;
  } rows[] = {{std::string("abc", 4), "abc"},
              {"abc", "abc"},
              {std::string("abcd\x01", 5), std::string("abcd\x01", 5)},
              {std::string("\x30\x82\x01\x00", 4), std::string("\x30\x82\x01\x00", 4)}};
  for (const Row& row : rows) {
    addAttribute(&map, "description", row.stored.data(), row.stored.size());
    EXPECT_TRUE(client_->modifyEntry(&map, "o=x"));
    EXPECT_EQ(row.sent, sentValue(0, 0));
    removeAttribute(&map, "description", nullptr);
  }
}

TEST_F(ModifyTest, WithoutSessionNothingIsSentAndTheCodeStays) {
  lib.script("ldap_simple_bind_s", 49, 1);
  EXPECT_THROW(login(), ZEVDIRException);
  lib.logClear();
  addAttribute(&map, "cn", "a", 0);
  EXPECT_FALSE(client_->addEntry(&map, "cn=a,o=x"));
  EXPECT_FALSE(client_->deleteEntry("o=x"));
  EXPECT_FALSE(client_->modifyRDN("o=x", "o=y", true));
  EXPECT_EQ(49, client_->errorCode());
  EXPECT_EQ(0, lib.logSize());
}

TEST_F(ModifyTest, WithoutAnyDNNothingIsSent) {
  addAttribute(&map, "cn", "a", 0);
  EXPECT_FALSE(client_->deleteEntry("cn=gone,o=x"));
  EXPECT_FALSE(client_->addEntry(&map, nullptr));
  EXPECT_FALSE(client_->modifyEntry(&map, nullptr));
  EXPECT_EQ(32, client_->errorCode());
  EXPECT_STREQ("No such object", client_->errorMessage(0));
  EXPECT_THAT(lib.log(), ElementsAre("ldap_delete_s(dn=cn=gone,o=x)", "ldap_get_errno()",
                                     "ldap_get_errno()", "ldap_err2string(code=32)"));
}

TEST_F(ModifyTest, RecordPrintsOperationAttributeAndValues) {
  addAttribute(&map, "cn", "abc", 0);
  addAttribute(&map, "cn", "de", 0);
  LdapModArray mods(&map, LDAP_MOD_ADD);
  ASSERT_NE(nullptr, mods.getMods()[0]);
  EXPECT_EQ(nullptr, mods.getMods()[1]);
  std::ostringstream os;
  os << *mods.getMods()[0];
  EXPECT_EQ(" Operation: 128\n Attribute: cn\n  (Len)Val: (3) abc\n  (Len)Val: (2) de\n", os.str());
}

}  // namespace
