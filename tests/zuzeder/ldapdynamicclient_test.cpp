// LDAPDynamicClient against the fake LDAP library: how its login differs from LDAPClient's, and
// its URL search, which parses the URL itself and searches the URL's server with the caller's
// scope.
#include "ldapdynamicclient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/fakeldap.h"
#include "zevcms.h"

using namespace zev09000003;
using ::testing::ElementsAre;

namespace {

struct LibraryPath : ::testing::Environment {  // lets the binary run outside ctest too
  void SetUp() override { setenv("ZEV_LIBRARY_PATH", fakeldap::zevDir().c_str(), 0); }
};
const ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new LibraryPath);

const char* const kHost = "ldap.example.com";
const char* const kDN = "cn=CA1,o=Example,c=GB";
const std::string kURL =
    std::string("ldap://ds.example.org:1389/") + kDN + "?certificateRevocationList?sub";

// Which fake the client loads: "zev9ldap" by default, or a variant by driver path.
enum Variant { kZev, kStandard, kNoOptional, kNoURLSearch };

std::string driverPath(Variant v) {
  const std::string paths[] = {"", fakeldap::standardPath(), fakeldap::noOptionalPath(),
                               fakeldap::noURLSearchPath()};
  return paths[v];
}

struct Script {
  const char* function;
  int result, times;
};

// An init agent that must never be asked for a session by this client.
class CountingAgent : public ZEVAgent {
 public:
  int connect() const override {
    ++connects;
    return 1;
  }
  int getReasonCode(int) const override { return 7; }
  void* getLDAPHandle() const override { return nullptr; }
  mutable int connects = 0;
};

class LDAPDynamicClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEVTrace::globalTrace().setSink(sink_);
    ZEVTrace::globalTrace().setLevel(1);
  }
  void TearDown() override {
    startOver();
    ZEVTrace::globalTrace().setSink(nullptr);
  }
  // Drops the client, checks that every handle of every loaded fake came back, clears them.
  void startOver() {
    client_.reset();
    for (auto& f : fakes_) {
      EXPECT_EQ(0, f.second->outstanding()) << f.second->handleReport();
      EXPECT_EQ(0, f.second->badFrees()) << f.second->handleReport();
      f.second->reset();
    }
    sink_->clear();
  }
  fakeldap::Library& fake(Variant v = kZev) {
    std::unique_ptr<fakeldap::Library>& f = fakes_[v];
    if (!f) f.reset(new fakeldap::Library(v == kZev ? fakeldap::zevPath() : driverPath(v)));
    return *f;
  }
  // A plain or dynamic client on kHost:389, version 3, search timeout 7.
  LDAPClient& make(bool dynamic, Variant v = kZev, int connectTimeout = 5, const char* host = kHost,
                   const ZEVAgent* agent = nullptr) {
    fake(v);
    const ZEVConstString path(driverPath(v));
    if (dynamic) {
      client_.reset(new LDAPDynamicClient(host, path, agent, 389, 3, 7, connectTimeout));
    } else {
      client_.reset(new LDAPClient(host, path, agent, 389, 3, 7, connectTimeout));
    }
    return *client_;
  }
  LDAPDynamicClient& dynamic(Variant v = kZev) {
    make(true, v, 0);
    return static_cast<LDAPDynamicClient&>(*client_);
  }

  std::map<Variant, std::unique_ptr<fakeldap::Library>> fakes_;
  std::shared_ptr<ZEVMemoryTraceSink> sink_ = std::make_shared<ZEVMemoryTraceSink>();
  std::unique_ptr<LDAPClient> client_;
};

// --- Login, against the base client ----------------------------------------------------------

const std::string kBindFailed =
    "Cannot bind to LDAP server, ldap.example.com userDN=cn=admin ldap_simple_bind() rc=";
const std::string kRc0 = kBindFailed + "0. Success",
                  kRc49 = kBindFailed + "49. Invalid credentials",
                  kRc81 = kBindFailed + "81. Can't contact LDAP server";
const std::string kNoInit =
    "Cannot open connection to LDAP server:  ldap.example.com:389.  ldap_init() returned Success";
const Script kBind49 = {"ldap_simple_bind_s", 49, 1}, kBind32 = {"ldap_simple_bind_s", 32, 1},
             kBind81 = {"ldap_simple_bind_s", 81, 1}, kInitNull = {"ldap_init", 0, 1};

const struct BindCase {
  const char* name;
  Variant variant;
  std::vector<Script> scripts;
  long baseThrown, dynamicThrown;  // 0: the login succeeds
  std::string dynamicMessage;      // empty: not looked at
} kBinds[] = {
    {"BindCodeNonZeroButErrnoZero", kZev, {kBind49, {"ldap_get_errno", 0, 1}}, 576009, 0, ""},
    {"BindCodeZeroButErrnoSaysFailed", kZev, {{"ldap_get_errno", 49, 1}}, 0, 576002, kRc0},
    {"InvalidCredentials", kZev, {kBind49}, 576009, 576009, kRc49},
    {"NoSuchObject", kZev, {kBind32}, 576009, 576009, ""},
    {"ServerDown", kZev, {kBind81}, 576002, 576002, kRc81},
    {"WithoutErrnoTheBindCodeRefuses", kNoOptional, {kBind49}, 576009, 576009, ""},
    {"WithoutErrnoTheBindCodeAccepts", kNoOptional, {}, 0, 0, ""},
    {"NoSession", kZev, {kInitNull}, 576002, 576002, kNoInit},
};

void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

class BindTest : public LDAPDynamicClientTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(BindTest, DynamicClientJudgesTheBindByErrorCode) {
  const BindCase& c = GetParam();
  for (bool isDynamic : {false, true}) {
    SCOPED_TRACE(isDynamic ? "dynamic" : "base");
    LDAPClient& client = make(isDynamic, c.variant);
    for (const Script& s : c.scripts) fake(c.variant).script(s.function, s.result, s.times);
    long thrown = 0;
    std::string message;
    try {
      EXPECT_EQ(0, client.login("cn=admin", "secret"));  // through the virtual slot
    } catch (const ZEVDIRException& e) {
      thrown = e.getError();
      message = e.what();
      if (isDynamic) {
        EXPECT_STREQ("./zuzeder/src/ldapdynamicclient", e.getFile());
      }
    }
    EXPECT_EQ(isDynamic ? c.dynamicThrown : c.baseThrown, thrown);
    EXPECT_EQ(thrown == 0, client.isConnected());
    if (isDynamic && !c.dynamicMessage.empty()) {
      EXPECT_EQ(c.dynamicMessage, message);
    }
    startOver();
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BindTest, ::testing::ValuesIn(kBinds),
                         [](const ::testing::TestParamInfo<BindCase>& i) {
                           return std::string(i.param.name);
                         });

TEST_F(LDAPDynamicClientTest, SessionOptionsDifferFromTheBaseClient) {
  const std::string o20485 = "ldap_set_option(option=20485, value={5,0})";
  const std::string atHost = "ldap_init(host=ldap.example.com, port=389)";
  const std::string noHost = "ldap_init(host=(null), port=389)";
  const struct {
    const char* name;
    bool dynamic;
    int connectTimeout;
    const char* host;
    std::vector<std::string> options;
    std::string init;
    int binds;
  } rows[] = {
      {"base",
       false,
       5,
       kHost,
       {"ldap_set_option(option=17, value=3)", "ldap_set_option(option=70, value={5,0})"},
       atHost,
       1},
      {"dynamic", true, 5, kHost, {o20485}, atHost, 1},
      {"dynamic without timeout", true, 0, kHost, {}, atHost, 1},
      {"dynamic URI host", true, 5, "URI", {o20485}, noHost, 0},
      {"dynamic uri host", true, 0, "uri", {}, noHost, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LDAPClient& client = make(row.dynamic, kZev, row.connectTimeout, row.host);
    EXPECT_EQ(0, client.login("cn=admin", "secret"));
    EXPECT_EQ(row.options, fake().log("ldap_set_option("));
    EXPECT_THAT(fake().log("ldap_init("), ElementsAre(row.init));
    EXPECT_EQ(row.binds, fake().callCount("ldap_simple_bind_s"));
    startOver();
  }
}

TEST_F(LDAPDynamicClientTest, RefusedTimeoutOptionIsTracedAndTheLoginGoesOn) {
  LDAPClient& client = make(true);
  fake().script("ldap_set_option", 1, 1);
  EXPECT_EQ(0, client.login("cn=admin", "secret"));
  EXPECT_TRUE(client.isConnected());
  EXPECT_TRUE(sink_->contains(
      "Could not set the connect timeout, ldap.example.com userDN=cn=admin ldap_set_option() "
      "rc=1. Success"));
}

TEST_F(LDAPDynamicClientTest, InitAgentIsNeverUsed) {
  CountingAgent agent;
  LDAPClient& client = make(true, kStandard, 0, kHost, &agent);
  EXPECT_EQ(0, client.login(static_cast<const char*>(nullptr), nullptr));
  EXPECT_EQ(0, agent.connects);
  EXPECT_THAT(fake(kStandard).log("ldap_init("),
              ElementsAre("ldap_init(host=ldap.example.com, port=389)"));
  EXPECT_THAT(fake(kStandard).log("ldap_simple_bind_s("),
              ElementsAre("ldap_simple_bind_s(dn=(null), password=(null))"));
}

// --- URL search ------------------------------------------------------------------------------

TEST_F(LDAPDynamicClientTest, URLSearchUsesTheURLsServerBaseAndAttributesButTheCallersScope) {
  fake().addText(kDN, "certificateRevocationList", "crl");
  fake().addText(kDN, "cn", "CA1");
  LDAPDynamicClient& client = dynamic();
  EXPECT_EQ(1, client.searchByURI(kURL, LDAP_SCOPE_BASE));
  EXPECT_THAT(
      fake().log(),
      ElementsAre("ldap_url_parse(url=" + kURL + ")", "ldap_init(host=ds.example.org, port=1389)",
                  "ldap_simple_bind_s(dn=(null), password=(null))", "ldap_get_errno()",
                  std::string("ldap_search_st(base=") + kDN +
                      ", scope=0, filter=(objectClass=*), "
                      "attrs=[certificateRevocationList], attrsonly=0, timeout={7,0})",
                  "ldap_count_entries()", "ldap_free_urldesc()"));
  EXPECT_STREQ("ds.example.org", client.getHost().c_str());
  EXPECT_EQ(1389, client.getPort());
  EXPECT_EQ(0, fake().callCount("ldap_url_search_st"));

  // The next URL search replaces the session; the previous one is released.
  EXPECT_EQ(1, client.searchByURI(kURL, LDAP_SCOPE_SUBTREE));
  EXPECT_THAT(fake().log("ldap_search_st("), ::testing::SizeIs(2));
  EXPECT_THAT(fake().log("ldap_search_st(").back(), ::testing::HasSubstr(", scope=2, "));
}

TEST_F(LDAPDynamicClientTest, URLWithoutHostIsSentThroughConvertDCtoHost) {
  const std::string dn = "cn=CA1,dc=example,dc=com";
  const std::string url = "ldap:///" + dn + "??base";
  const std::string converted = ZEVUtility::convertDCtoHost(url).c_str();
  ASSERT_NE(url, converted);
  fake().addText(dn, "cn", "CA1");
  LDAPDynamicClient& client = dynamic();
  EXPECT_EQ(1, client.searchByURI(url, LDAP_SCOPE_BASE));
  EXPECT_EQ(converted, client.getHost().c_str());
  EXPECT_EQ(0, client.getPort());
  EXPECT_THAT(fake().log("ldap_init("), ElementsAre("ldap_init(host=" + converted + ", port=0)"));
}

// Each row starts from a client that holds the result of an ordinary search on kHost:389.
TEST_F(LDAPDynamicClientTest, URLSearchOutcomes) {
  const char* kParse = "Parse LDAP URL Errorrc=3. Time limit exceeded";
  const char* kNoDesc = "Parse LDAP URL localdesc == NULL";
  const char* kUnsupported = "searchByURI not supported by this client";
  const struct {
    const char* name;
    Variant variant;
    std::string url;
    std::vector<Script> scripts;
    int count;
    long thrown;
    const char* message;    // null: not looked at
    bool movedToURLServer;  // host and port now those of the URL
    int searches;           // ldap_search_st calls by the URL search
  } rows[] = {
      {"found", kZev, kURL, {}, 1, 0, nullptr, true, 1},
      {"anonymous bind refused", kZev, kURL, {kBind49}, 0, 0, nullptr, true, 0},
      {"server unreachable", kZev, kURL, {kInitNull}, 0, 0, nullptr, true, 0},
      {"search fails", kZev, kURL, {{"ldap_search_st", 32, 1}}, 0, 576004, nullptr, true, 1},
      {"rejected by the library", kZev, "no url at all", {}, 0, 576004, kParse, false, 0},
      {"no description", kZev, kURL, {{"ldap_url_parse", 0, 1}}, 0, 576004, kNoDesc, false, 0},
      {"library without ldap_url_search_st", kNoURLSearch, kURL, {}, 1, 0, nullptr, true, 1},
      {"library without URL parsing", kNoOptional, kURL, {}, 0, 576004, kUnsupported, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fakeldap::Library& f = fake(row.variant);
    f.addText(kDN, "cn", "CA1");
    LDAPDynamicClient& client = dynamic(row.variant);
    client.login(static_cast<const char*>(nullptr), nullptr);
    ASSERT_EQ(1, client.search(kDN, LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0));
    const int freed = f.callCount("ldap_msgfree"), searched = f.callCount("ldap_search_st");
    for (const Script& s : row.scripts) f.script(s.function, s.result, s.times);
    int count = -1;
    long thrown = 0;
    try {
      count = client.searchByURI(row.url, LDAP_SCOPE_BASE);
    } catch (const ZEVDIRException& e) {
      thrown = e.getError();
      if (row.message != nullptr) {
        EXPECT_STREQ(row.message, e.what());
      }
    }
    EXPECT_EQ(row.thrown, thrown);
    if (thrown == 0) {
      EXPECT_EQ(row.count, count);
    }
    EXPECT_EQ(row.movedToURLServer ? "ds.example.org" : kHost,
              std::string(client.getHost().c_str()));
    EXPECT_EQ(row.movedToURLServer ? 1389 : 389, client.getPort());
    // The previous result goes first, unless the library cannot parse URLs at all.
    EXPECT_EQ(freed + (row.variant == kNoOptional ? 0 : 1), f.callCount("ldap_msgfree"));
    EXPECT_EQ(row.searches, f.callCount("ldap_search_st") - searched);
    startOver();
  }
}

}  // namespace
