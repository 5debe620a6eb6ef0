// LDAPDynamicDIRManager against the fake LDAP library: which of its three clients serves what,
// its retry and error-level rules, copies without dynamic clients, and the creation function.
#include "ldapdynamicdirmanager.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

#include "ldapglobal.h"
#include "support/dirmanager.h"

using namespace zev09000003;
using namespace dirmanager;
using fakeclient::failure;
using ::testing::ElementsAre;

namespace {

// Records like the memory sink and, when armed, makes the n-th "Entry: LDAPDynamicClient"
// fail: a failure that arises while a dynamic client is being built.
class FailingSink : public ZEVMemoryTraceSink {
 public:
  void write(const ZEVTraceRecord& record) override {
    if (failAt > 0 && record.text == "Entry: LDAPDynamicClient" && --failAt == 0) {
      throw ZEVDIRException("injected", 1, 576001, "dynamic client refused");
    }
    ZEVMemoryTraceSink::write(record);
  }
  int failAt = 0;
};

class LDAPDynamicDIRManagerTest : public dirmanager::Test<LDAPDynamicDIRManager> {
 protected:
  LDAPDynamicDIRManagerTest() {
    sink = failing;
    url = "ldap://ds.example.org:1389/" + dn();
  }
  // Runs f while the n-th dynamic client's construction fails (0: none fails).
  template <class F>
  void failingAt(int n, F f) {
    if (n != 0) ZEVTrace::globalTrace().setLevel(ZEVTrace::kScopeLevel);
    failing->failAt = n;
    f();
    failing->failAt = 0;
    ZEVTrace::globalTrace().setLevel(1);
  }
  std::unique_ptr<ZEVDIRManager> duplicate(int failAt) {
    manager();
    std::unique_ptr<ZEVDIRManager> copy;
    failingAt(failAt, [&] { copy.reset(manager().duplicate()); });
    return copy;
  }
  std::shared_ptr<FailingSink> failing = std::make_shared<FailingSink>();
};

// --- Which client serves what ----------------------------------------------------------------

TEST_F(LDAPDynamicDIRManagerTest, CertificatesUseTheBaseClientListsTheDynamicOnes) {
  const std::vector<std::string> base = {"ldap_set_option(option=17, value=3)",
                                         "ldap_set_option(option=70, value={3,0})"};
  const std::vector<std::string> dynamic = {"ldap_set_option(option=20485, value={3,0})"};
  const struct {
    Op op;
    bool base, dynamic, uri;  // connected afterwards
    const std::vector<std::string>& options;
  } rows[] = {
      {kCACerts, true, false, false, base},
      {kCRLs, false, true, false, dynamic},
      {kARLs, false, true, false, dynamic},
      {kViaURI, false, false, true, dynamic},
  };
  info.setConnectTimeout(3);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op);
    store("cACertificate", pki().der("ca"));
    store(kBin, pki().der("crl"));
    EXPECT_EQ(1u, fetch(row.op).size());
    EXPECT_EQ(row.base, manager().getClient()->isConnected());
    EXPECT_EQ(row.dynamic, manager().getDynamicClient()->isConnected());
    EXPECT_EQ(row.uri, manager().getURIClient()->isConnected());
    EXPECT_EQ(row.options, lib.log("ldap_set_option("));
    startOver();
  }
}

TEST_F(LDAPDynamicDIRManagerTest, ARLsReadAuthorityListsFirstAndCutDumpsEndWithAColon) {
  Bytes junk(300, 0x01);
  store(kBin, pki().der("crl"));
  store("authorityRevocationList", pki().der("arl"));
  store("authorityRevocationList;binary", junk);
  EXPECT_THAT(fetch(kARLs), ElementsAre(pki().der("arl"), pki().der("crl")));
  std::ostringstream dump;
  dump << "Data Read Trace Limited to 256 Bytes:\n";
  ZEVUtility::hexdump(dump, ZEVASNCBuffer(junk.data(), 256), "HEX");
  EXPECT_EQ(1, traced(dump.str()));
  EXPECT_EQ(1, traced("decode failed"));
}

TEST_F(LDAPDynamicDIRManagerTest, URLSearchIsBaseScopeOnTheURLsServerDecodingEveryValue) {
  store(kBin, pki().der("crl"));
  store("authorityRevocationList", pki().der("arl"));
  store("cACertificate", pki().der("ca"));
  url += "?certificateRevocationList;binary,authorityRevocationList?sub";
  EXPECT_THAT(fetch(kViaURI), ElementsAre(pki().der("arl"), pki().der("crl")));
  EXPECT_EQ("init simple_bind_s search_st", calls());
  EXPECT_THAT(lib.log("ldap_init("), ElementsAre("ldap_init(host=ds.example.org, port=1389)"));
  EXPECT_THAT(lib.log("ldap_search_st("),
              ElementsAre("ldap_search_st(base=" + dn() +
                          ", scope=0, filter=(objectClass=*), "
                          "attrs=[certificateRevocationList;binary,authorityRevocationList], "
                          "attrsonly=0, timeout={7,0})"));
  EXPECT_EQ(1, traced("decode failed"));  // the "dn" value
}

// --- Retry and error levels ------------------------------------------------------------------

// Whichever code caused the retry.
const char* const k81 = "Error(81) from ldap_search().  Retrying.";

// clang-format off
const Failure kFailures[] = {
    {"ServerDownRetried", kCRLs, kSearch, 81, 1, 0, kRetried, 0, 1, k81},
    {"LocalErrorRetried", kCRLs, kSearch, 82, 1, 0, kRetried, 0, 1, k81},
    {"ConnectErrorRetried", kCRLs, kSearch, 91, 1, 0, kRetried, 0, 1, k81},
    {"DownTwiceLevel0", kCRLs, kSearch, 91, 2, 0, kRetried, 576004, 0, k81},
    {"DownTwiceLevel2", kCRLs, kSearch, 81, 2, 2, kRetried, 0, 0, k81},
    {"NoSuchObjectLevel0", kCRLs, kSearch, 32, 1, 0, kOnce, 576004, 0, nullptr},
    {"NoSuchObjectLevel1", kCRLs, kSearch, 32, 1, 1, kOnce, 0, 0, nullptr},
    {"SizeLimitLevel1", kCRLs, kSearch, 4, 1, 1, kOnce, 576004, 0, nullptr},
    {"BindRefusedLevel0", kCRLs, kBind, 49, -1, 0, kBindOnly, 576009, 0, nullptr},
    {"BindServerDownNotRetried", kCRLs, kBind, 81, -1, 0, kBindOnly, 576002, 0, nullptr},
    {"BindRefusedLevel2", kCRLs, kBind, 49, -1, 2, kBindOnly, 0, 0, nullptr},
    // The connection check passes a refused bind on whatever the level.
    {"ValidateBindRefusedLevel2", kValidate, kBind, 49, 1, 2, kBindOnly, 576009, 0, nullptr},
};
// clang-format on

class Retry : public LDAPDynamicDIRManagerTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(Retry, OnceWhenServerIsDownThenAppliesErrorLevel) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, Retry, ::testing::ValuesIn(kFailures), fakeclient::RowName());

TEST_F(LDAPDynamicDIRManagerTest, URLFailuresFollowTheErrorLevelButARefusedBindNeverThrows) {
  const struct {
    const char* name;
    const char* url;       // null: the fixture's
    const char* function;  // scripted once, or null
    int rc;
    long thrown[3];  // by error level 0, 1, 2
    bool traced;
  } rows[] = {
      {"bind refused", nullptr, "ldap_simple_bind_s", 49, {0, 0, 0}, false},
      {"unparsable", "no url at all", nullptr, 0, {576004, 576004, 0}, true},
      {"no such object", nullptr, "ldap_search_st", 32, {576004, 0, 0}, true},
  };
  const std::string fixtureURL = url;
  for (const auto& row : rows) {
    for (int level : {0, 1, 2}) {
      SCOPED_TRACE(std::string(row.name) + " level " + std::to_string(level));
      info.setErrorLevel(level);
      url = row.url != nullptr ? row.url : fixtureURL;
      store(kBin, pki().der("crl"));
      if (row.function != nullptr) lib.script(row.function, row.rc, 1);
      std::string message;
      EXPECT_EQ(row.thrown[level], failure([&] { fetch(kViaURI); }, &message));
      if (row.url != nullptr && row.thrown[level] != 0) {
        EXPECT_EQ("Parse LDAP URL Errorrc=3. Time limit exceeded", message);
      }
      EXPECT_EQ(row.traced, sink->contains("Error in LDAPDynamicClient search url."));
      startOver();
    }
  }
}

// --- Connection check, copies, creation ------------------------------------------------------

TEST_F(LDAPDynamicDIRManagerTest, ValidateConnectionBindsAndUnbindsTheDynamicClient) {
  EXPECT_EQ("", calls()) << "construction does not connect";
  EXPECT_TRUE(manager().validateConnection());
  EXPECT_EQ(kBindOnly, calls());
  EXPECT_FALSE(manager().getDynamicClient()->isConnected());
}

TEST_F(LDAPDynamicDIRManagerTest, DuplicateIsAnIndependentUnconnectedDynamicManager) {
  store(kBin, pki().der("crl"));
  ASSERT_EQ(1u, fetch(kCRLs).size());
  std::unique_ptr<ZEVDIRManager> copy = duplicate(0);
  auto* dup = dynamic_cast<LDAPDynamicDIRManager*>(copy.get());
  ASSERT_NE(nullptr, dup);
  ASSERT_NE(nullptr, dup->getDynamicClient());
  EXPECT_NE(manager().getDynamicClient(), dup->getDynamicClient());
  EXPECT_FALSE(dup->getDynamicClient()->isConnected());
  EXPECT_EQ(ZEVString("LDAPDynamicDIRManager"), copy->getClassName());
  for (const char* name : {"LDAPDynamicDIRManager", "LDAPDIRManager", "ZEVDIRManager"}) {
    EXPECT_TRUE(copy->isKindOf(name)) << name;
  }
  EXPECT_FALSE(copy->isKindOf("LDAPClient"));
  manager_.reset();  // the copy outlives its original
  EXPECT_EQ(1u, fetch(kCRLs, dup).size());
  EXPECT_EQ(1u, fetch(kViaURI, dup).size());
}

TEST_F(LDAPDynamicDIRManagerTest, CopyWithoutDynamicClientsStillServesCertificates) {
  store("cACertificate", pki().der("ca"));
  const ZEVDIRException any("test", 1, 576004, "any");
  const std::string noLogin = "576002 Unable to login to LDAP Server";
  const std::string noClient = "576004 LDAPClient ptr was NULL";
  for (int failAt : {1, 2}) {  // the first (dynamicClient) or the second (uriClient) fails
    SCOPED_TRACE(failAt);
    std::unique_ptr<ZEVDIRManager> copy = duplicate(failAt);
    auto* dup = static_cast<LDAPDynamicDIRManager*>(copy.get());
    EXPECT_EQ(nullptr, dup->getDynamicClient());
    EXPECT_EQ(nullptr, dup->getURIClient());
    ZEVASNCRLContainer lists;
    const struct {
      const char* name;
      std::function<void()> call;
      std::string thrown;
    } rows[] = {
        {"getCRLs", [&] { fetch(kCRLs, dup); }, noLogin},
        {"getARLs", [&] { fetch(kARLs, dup); }, noLogin},
        {"validateConnection", [&] { dup->validateConnection(); }, noLogin},
        {"getViaURI", [&] { fetch(kViaURI, dup); }, "576002 No LDAP client available"},
        {"doSearchByURI", [&] { dup->doSearchByURI(url.c_str(), 0); }, noClient},
        {"getRevocationListsByURI", [&] { dup->getRevocationListsByURI(url.c_str(), &lists); },
         noClient},
        {"maybeThrowIt", [&] { dup->maybeThrowIt(any); }, noClient},
        {"maybeThrowItURL", [&] { dup->maybeThrowItURL(any); }, noClient},
    };
    for (const auto& row : rows) EXPECT_EQ(row.thrown, fakeclient::thrown(row.call)) << row.name;
    EXPECT_THAT(fetch(kCACerts, dup), ElementsAre(pki().der("ca")));
  }
}

TEST_F(LDAPDynamicDIRManagerTest, CreationFunctionIsExportedByThePlugin) {
  void* handle = dlopen(fakeclient::pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << dlerror();
  auto create =
      reinterpret_cast<void* (*)(void*, void**)>(dlsym(handle, ZEV9DRLD_NEW_DYNAMIC_MANAGER));
  ASSERT_NE(nullptr, create);
  int sentinel = 0;
  void* stored = &sentinel;  // null unless a failure is stored
  std::unique_ptr<ZEVDIRManager> made(static_cast<ZEVDIRManager*>(create(&info, &stored)));
  EXPECT_EQ(nullptr, stored);
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(ZEVString("LDAPDynamicDIRManager"), made->getClassName());
  EXPECT_TRUE(made->validateConnection());
  made.reset();
  dlclose(handle);
}

TEST_F(LDAPDynamicDIRManagerTest, CreationFunctionStoresItsFailure) {
  ZEVDIRConnectInfo::LDAP noLibrary(info);
  noLibrary.setDriverPath(fakeldap::dir() + "/libnosuchldap.so");
  fakeclient::OtherInfo other;
  const struct {
    const char* name;
    void* args;
    int failAt;
    long code;
    const char* kind;  // class of the stored failure
    const char* message;
  } rows[] = {
      {"null", nullptr, 0, 571002, "ZEVDIRException", "args cannot be NULL"},
      {"other kind", &other, 0, 571002, "ZEVDIRException", "args is invalid"},
      // The base part loads the library first and fails unchanged.
      {"no library", &noLibrary, 0, 576001, "ZEVDIRException", ""},
      // A dynamic client's failure arrives as a plain ZEVException.
      {"dynamic client fails", &info, 1, 576001, "ZEVException", "dynamic client refused"},
      {"second dynamic client fails", &info, 2, 576001, "ZEVException", "dynamic client refused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    int sentinel = 0;
    void* stored = &sentinel;  // overwritten on every way out
    failingAt(row.failAt,
              [&] { EXPECT_EQ(nullptr, zev9drld_newDynamicDIRManager(row.args, &stored)); });
    ASSERT_NE(static_cast<void*>(&sentinel), stored);
    std::unique_ptr<ZEVException> error(static_cast<ZEVException*>(stored));
    ASSERT_NE(nullptr, error);
    EXPECT_STREQ(row.kind, error->getClassName());
    EXPECT_EQ(row.code, error->getError());
    EXPECT_STREQ(row.message, error->what());
    failingAt(row.failAt,
              [&] { EXPECT_EQ(nullptr, zev9drld_newDynamicDIRManager(row.args, nullptr)); });
    startOver();
  }
}

}  // namespace
