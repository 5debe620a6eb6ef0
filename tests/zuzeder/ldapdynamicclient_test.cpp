// LDAPDynamicClient against the fake LDAP library: how its login differs from LDAPClient's, and
// its URL search, which parses the URL itself and searches the URL's server with the caller's
// scope.
#include "ldapdynamicclient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fakeclient.h"

using namespace zev09000003;
using ::testing::ElementsAre;

namespace {

const char* const kHost = "ldap.example.com";
const char* const kDN = "cn=CA1,o=Example,c=GB";
const std::string kURL =
    std::string("ldap://ds.example.org:1389/") + kDN + "?certificateRevocationList?sub";

// fn returns result once instead of working.
struct Script {
  const char* fn;
  int result;
};

// Clients on kHost:389, version 3, search timeout 7, over "zev9ldap" or the variant that
// driverPath names.
class LDAPDynamicClientTest : public fakeclient::ClientTest {
 protected:
  fakeldap::Library& variant(const std::string& driverPath) {
    return driverPath.empty() ? lib : fake(driverPath);
  }
  LDAPClient& client(bool dynamic, const std::string& driverPath = "", int connectTimeout = 5,
                     const char* host = kHost) {
    variant(driverPath);
    if (dynamic) return make<LDAPDynamicClient>(host, 7, connectTimeout, 3, driverPath);
    return make(host, 7, connectTimeout, 3, driverPath);
  }
  LDAPDynamicClient& dynamic(const std::string& driverPath = "") {
    return static_cast<LDAPDynamicClient&>(client(true, driverPath, 0));
  }
};

// --- Login, against the base client ----------------------------------------------------------

const std::string kBindFailed =
    "Cannot bind to LDAP server, ldap.example.com userDN=cn=admin ldap_simple_bind() rc=";
const Script kBind49 = {"ldap_simple_bind_s", 49}, kInitNull = {"ldap_init", 0};
const std::string kNoOptional = fakeldap::noOptionalPath();

const struct BindCase {
  const char* name;
  std::string driverPath;
  std::vector<Script> scripts;
  long baseThrown, dynamicThrown;  // 0: the login succeeds
  std::string dynamicMessage;      // empty: not looked at
} kBinds[] = {
    // clang-format off
    {"BindCodeNonZeroButErrnoZero", "", {kBind49, {"ldap_get_errno", 0}}, 576009, 0, ""},
    {"BindCodeZeroButErrnoSaysFailed", "", {{"ldap_get_errno", 49}}, 0, 576002,
     kBindFailed + "0. Success"},
    {"InvalidCredentials", "", {kBind49}, 576009, 576009, kBindFailed + "49. Invalid credentials"},
    {"NoSuchObject", "", {{"ldap_simple_bind_s", 32}}, 576009, 576009, ""},
    {"ServerDown", "", {{"ldap_simple_bind_s", 81}}, 576002, 576002,
     kBindFailed + "81. Can't contact LDAP server"},
    {"WithoutErrnoTheBindCodeRefuses", kNoOptional, {kBind49}, 576009, 576009, ""},
    {"WithoutErrnoTheBindCodeAccepts", kNoOptional, {}, 0, 0, ""},
    {"NoSession", "", {kInitNull}, 576002, 576002,
     "Cannot open connection to LDAP server:  ldap.example.com:389.  ldap_init() returned Success"},
    // clang-format on
};

class BindTest : public LDAPDynamicClientTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(BindTest, DynamicClientJudgesTheBindByErrorCode) {
  const BindCase& c = GetParam();
  for (bool isDynamic : {false, true}) {
    SCOPED_TRACE(isDynamic ? "dynamic" : "base");
    LDAPClient& bound = client(isDynamic, c.driverPath);
    for (const Script& s : c.scripts) variant(c.driverPath).script(s.fn, s.result, 1);
    long thrown = 0;
    try {
      EXPECT_EQ(0, bound.login("cn=admin", "secret"));  // through the virtual slot
    } catch (const ZEVDIRException& e) {
      thrown = e.getError();
      if (isDynamic) {
        EXPECT_STREQ("./zuzeder/src/ldapdynamicclient", e.getFile());
        if (!c.dynamicMessage.empty()) {
          EXPECT_EQ(c.dynamicMessage, e.what());
        }
      }
    }
    EXPECT_EQ(isDynamic ? c.dynamicThrown : c.baseThrown, thrown);
    EXPECT_EQ(thrown == 0, bound.isConnected());
    startOver();
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BindTest, ::testing::ValuesIn(kBinds), fakeclient::RowName());

// The base client's options are in ldapclient_test.
TEST_F(LDAPDynamicClientTest, SessionOptionsDifferFromTheBaseClient) {
  const std::string o20485 = "ldap_set_option(option=20485, value={5,0})";
  const std::string atHost = "ldap_init(host=ldap.example.com, port=389)";
  const std::string noHost = "ldap_init(host=(null), port=389)";
  const struct {
    int connectTimeout;
    const char* host;
    std::vector<std::string> options;
    std::string init;
    int binds;
  } rows[] = {
      {5, kHost, {o20485}, atHost, 1},
      {0, kHost, {}, atHost, 1},
      {5, "URI", {o20485}, noHost, 0},
      {0, "uri", {}, noHost, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host + std::to_string(row.connectTimeout));
    EXPECT_EQ(0, client(true, "", row.connectTimeout, row.host).login("cn=admin", "secret"));
    EXPECT_EQ(row.options, lib.log("ldap_set_option("));
    EXPECT_THAT(lib.log("ldap_init("), ElementsAre(row.init));
    EXPECT_EQ(row.binds, lib.callCount("ldap_simple_bind_s"));
    startOver();
  }
}

TEST_F(LDAPDynamicClientTest, RefusedTimeoutOptionIsTracedAndTheLoginGoesOn) {
  LDAPClient& dynamic = client(true);
  lib.script("ldap_set_option", 1, 1);
  EXPECT_EQ(0, dynamic.login("cn=admin", "secret"));
  EXPECT_TRUE(dynamic.isConnected());
  EXPECT_TRUE(sink->contains(
      "Could not set the connect timeout, ldap.example.com userDN=cn=admin ldap_set_option() "
      "rc=1. Success"));
}

TEST_F(LDAPDynamicClientTest, InitAgentIsNeverUsed) {
  // An agent that must never be asked for a session by this client.
  struct : ZEVAgent {
    int connect() const override { return ++connects, 1; }
    int getReasonCode(int) const override { return 7; }
    void* getLDAPHandle() const override { return nullptr; }
    mutable int connects = 0;
  } agent;
  fakeldap::Library& standard = fake(fakeldap::standardPath());
  make<LDAPDynamicClient>(kHost, 7, 0, 3, fakeldap::standardPath(), &agent);
  EXPECT_EQ(0, client_->login(static_cast<const char*>(nullptr), nullptr));
  EXPECT_EQ(0, agent.connects);
  EXPECT_THAT(standard.log("ldap_init("),
              ElementsAre("ldap_init(host=ldap.example.com, port=389)"));
  EXPECT_THAT(standard.log("ldap_simple_bind_s("),
              ElementsAre("ldap_simple_bind_s(dn=(null), password=(null))"));
}

// --- URL search ------------------------------------------------------------------------------

TEST_F(LDAPDynamicClientTest, URLSearchUsesTheURLsServerBaseAndAttributesButTheCallersScope) {
  lib.addText(kDN, "certificateRevocationList", "crl");
  lib.addText(kDN, "cn", "CA1");
  LDAPDynamicClient& client = dynamic();
  EXPECT_EQ(1, client.searchByURI(kURL, LDAP_SCOPE_BASE));
  EXPECT_THAT(
      lib.log(),
      ElementsAre("ldap_url_parse(url=" + kURL + ")", "ldap_init(host=ds.example.org, port=1389)",
                  "ldap_simple_bind_s(dn=(null), password=(null))", "ldap_get_errno()",
                  std::string("ldap_search_st(base=") + kDN +
                      ", scope=0, filter=(objectClass=*), "
                      "attrs=[certificateRevocationList], attrsonly=0, timeout={7,0})",
                  "ldap_count_entries()", "ldap_free_urldesc()"));
  EXPECT_STREQ("ds.example.org", client.getHost().c_str());
  EXPECT_EQ(1389, client.getPort());

  // The next URL search replaces the session; the previous one is released.
  EXPECT_EQ(1, client.searchByURI(kURL, LDAP_SCOPE_SUBTREE));
  EXPECT_THAT(lib.log("ldap_search_st("), ::testing::SizeIs(2));
  EXPECT_THAT(lib.log("ldap_search_st(").back(), ::testing::HasSubstr(", scope=2, "));
}

TEST_F(LDAPDynamicClientTest, URLWithoutHostIsSentThroughConvertDCtoHost) {
  const std::string dn = "cn=CA1,dc=example,dc=com";
  const std::string url = "ldap:///" + dn + "??base";
  const std::string converted = ZEVUtility::convertDCtoHost(url).c_str();
  ASSERT_NE(url, converted);
  lib.addText(dn, "cn", "CA1");
  LDAPDynamicClient& client = dynamic();
  EXPECT_EQ(1, client.searchByURI(url, LDAP_SCOPE_BASE));
  EXPECT_EQ(converted, client.getHost().c_str());
  EXPECT_EQ(0, client.getPort());
  EXPECT_THAT(lib.log("ldap_init("), ElementsAre("ldap_init(host=" + converted + ", port=0)"));
}

// Each row starts from a client that holds the result of an ordinary search on kHost:389.
TEST_F(LDAPDynamicClientTest, URLSearchOutcomes) {
  const std::string noURLSearch = fakeldap::noURLSearchPath();
  const struct {
    const char* name;
    std::string driverPath, url;
    Script script;          // fn null: none
    std::string outcome;    // the count returned, or "<code> <message>" thrown
    bool movedToURLServer;  // host and port now those of the URL
    int searches;           // ldap_search_st calls by the URL search
  } rows[] = {
      // clang-format off
      {"found", "", kURL, {}, "1", true, 1},
      {"anonymous bind refused", "", kURL, kBind49, "0", true, 0},
      {"server unreachable", "", kURL, kInitNull, "0", true, 0},
      {"search fails", "", kURL, {"ldap_search_st", 32},
       "576004 Error searching LDAP server. ldap_search_st() rc=32. No such object", true, 1},
      {"rejected by the library", "", "no url at all", {},
       "576004 Parse LDAP URL Errorrc=3. Time limit exceeded", false, 0},
      {"no description", "", kURL, {"ldap_url_parse", 0},
       "576004 Parse LDAP URL localdesc == NULL", false, 0},
      {"library without ldap_url_search_st", noURLSearch, kURL, {}, "1", true, 1},
      {"library without URL parsing", kNoOptional, kURL, {},
       "576004 searchByURI not supported by this client", false, 0},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fakeldap::Library& f = variant(row.driverPath);
    f.addText(kDN, "cn", "CA1");
    LDAPDynamicClient& client = dynamic(row.driverPath);
    client.login(static_cast<const char*>(nullptr), nullptr);
    ASSERT_EQ(1, client.search(kDN, LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0));
    const int freed = f.callCount("ldap_msgfree"), searched = f.callCount("ldap_search_st");
    if (row.script.fn != nullptr) f.script(row.script.fn, row.script.result, 1);
    int count = -1;
    std::string outcome =
        fakeclient::thrown([&] { count = client.searchByURI(row.url, LDAP_SCOPE_BASE); });
    EXPECT_EQ(row.outcome, outcome == "no exception" ? std::to_string(count) : outcome);
    EXPECT_EQ(row.movedToURLServer ? "ds.example.org" : kHost,
              std::string(client.getHost().c_str()));
    EXPECT_EQ(row.movedToURLServer ? 1389 : 389, client.getPort());
    // The previous result goes first, unless the library cannot parse URLs at all.
    EXPECT_EQ(freed + (row.driverPath == kNoOptional ? 0 : 1), f.callCount("ldap_msgfree"));
    EXPECT_EQ(row.searches, f.callCount("ldap_search_st") - searched);
    startOver();
  }
}

}  // namespace
