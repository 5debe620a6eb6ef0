// LDAPDynamicDIRManager against the fake LDAP library: which of its three clients serves what,
// its retry and error-level rules, copies without dynamic clients, and the creation function.
#include "ldapdynamicdirmanager.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>

#include "ldapglobal.h"
#include "support/fakeldap.h"
#include "support/testpki.h"
#include "zevcms.h"

using namespace zev09000003;
using ::testing::ElementsAre;
using testpki::Bytes;

namespace {

struct LibraryPath : ::testing::Environment {  // lets the binary run outside ctest too
  void SetUp() override { setenv("ZEV_LIBRARY_PATH", fakeldap::zevDir().c_str(), 0); }
};
const ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new LibraryPath);

const char* const kCA = "cn=CA1,o=Example,c=GB";
const char* const kBin = "certificateRevocationList;binary";
const testpki::Material& pki() { return testpki::get(); }
std::string dn() {
  return ZEVASNUtility::getRFC2253String(ZEVASNx500Name::fromRFC4514(kCA), false, 5).c_str();
}
std::string url(const std::string& rest = "") {
  return "ldap://ds.example.org:1389/" + dn() + rest;
}

template <class C>
std::vector<Bytes> ders(C* raw) {
  std::unique_ptr<C> c(raw);
  std::vector<Bytes> out;
  for (auto* o : *c) {
    const ZEVFastBuffer& d = o->getDEREncoding();
    out.emplace_back(d.getValue(), d.getValue() + d.getLength());
  }
  return out;
}

// The code of the ZEVException that f throws (0: none), and its message.
long failure(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const ZEVException& e) {
    if (message != nullptr) *message = e.what();
    return e.getError();
  }
  return 0;
}

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

enum Op { kCACerts, kCRLs, kARLs, kViaURI };

class LDAPDynamicDIRManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEVTrace::globalTrace().setSink(sink_);
    ZEVTrace::globalTrace().setLevel(1);
    info_.setHostName("ldap.example.com");
    info_.setSearchTimeout(7);
  }
  void TearDown() override {
    startOver();
    ZEVTrace::globalTrace().setSink(nullptr);
  }
  void startOver() {
    manager_.reset();
    EXPECT_EQ(0, fake_.outstanding()) << fake_.handleReport();
    EXPECT_EQ(0, fake_.badFrees()) << fake_.handleReport();
    fake_.reset();
    sink_->clear();
  }
  LDAPDynamicDIRManager& manager() {
    if (!manager_) manager_.reset(new LDAPDynamicDIRManager(info_));
    return *manager_;
  }
  // Copies the manager while the n-th dynamic client's construction fails (0: none fails).
  std::unique_ptr<ZEVDIRManager> duplicate(int failAt) {
    LDAPDynamicDIRManager& original = manager();
    ZEVTrace::globalTrace().setLevel(ZEVTrace::kScopeLevel);
    sink_->failAt = failAt;
    std::unique_ptr<ZEVDIRManager> copy(original.duplicate());
    sink_->failAt = 0;
    ZEVTrace::globalTrace().setLevel(1);
    return copy;
  }
  void store(const char* attr, const Bytes& value) { fake_.addBytes(dn(), attr, value); }
  std::vector<Bytes> fetch(Op op, ZEVDIRManager* m = nullptr, const std::string& u = url()) {
    if (m == nullptr) m = &manager();
    ZEVASNx500Name name = ZEVASNx500Name::fromRFC4514(kCA);
    switch (op) {
      case kCACerts:
        return ders(m->getCACertificates(name));
      case kCRLs:
        return ders(m->getCRLs(name));
      case kARLs:
        return ders(m->getARLs(name));
      case kViaURI:
        return ders(m->getViaURI(u.c_str()));
    }
    return {};
  }
  // The session calls in order, shortened: "init simple_bind_s search_st unbind ...".
  std::string calls() const {
    std::string out;
    for (const std::string& l : fake_.log()) {
      for (const char* f : {"init", "simple_bind_s", "unbind", "search_st", "url_search_st"}) {
        if (l.rfind(std::string("ldap_") + f + "(", 0) == 0) out += std::string(" ") + f;
      }
    }
    return out.empty() ? out : out.substr(1);
  }

  fakeldap::Library fake_{fakeldap::zevPath()};
  std::shared_ptr<FailingSink> sink_ = std::make_shared<FailingSink>();
  ZEVDIRConnectInfo::LDAP info_;
  std::unique_ptr<LDAPDynamicDIRManager> manager_;
};

// --- Which client serves what ----------------------------------------------------------------

TEST_F(LDAPDynamicDIRManagerTest, CertificatesUseTheBaseClientListsTheDynamicOnes) {
  const struct {
    Op op;
    bool base, dynamic, uri;  // connected afterwards
    const char* option;       // the only session option set
  } rows[] = {
      {kCACerts, true, false, false, nullptr},
      {kCRLs, false, true, false, "ldap_set_option(option=20485, value={3,0})"},
      {kARLs, false, true, false, "ldap_set_option(option=20485, value={3,0})"},
      {kViaURI, false, false, true, "ldap_set_option(option=20485, value={3,0})"},
  };
  info_.setConnectTimeout(3);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op);
    store("cACertificate", pki().der("ca"));
    store(kBin, pki().der("crl"));
    EXPECT_EQ(1u, fetch(row.op).size());
    EXPECT_EQ(row.base, manager().getClient()->isConnected());
    EXPECT_EQ(row.dynamic, manager().getDynamicClient()->isConnected());
    EXPECT_EQ(row.uri, manager().getURIClient()->isConnected());
    const std::vector<std::string> options = fake_.log("ldap_set_option(");
    if (row.option != nullptr) {
      EXPECT_THAT(options, ElementsAre(row.option));
    } else {
      EXPECT_THAT(options, ElementsAre("ldap_set_option(option=17, value=3)",
                                       "ldap_set_option(option=70, value={3,0})"));
    }
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
  EXPECT_TRUE(sink_->contains(dump.str()));
  EXPECT_TRUE(sink_->contains("decode failed"));
}

TEST_F(LDAPDynamicDIRManagerTest, URLSearchIsBaseScopeOnTheURLsServerDecodingEveryValue) {
  store(kBin, pki().der("crl"));
  store("authorityRevocationList", pki().der("arl"));
  store("cACertificate", pki().der("ca"));
  const std::string u = url("?certificateRevocationList;binary,authorityRevocationList?sub");
  EXPECT_THAT(fetch(kViaURI, nullptr, u), ElementsAre(pki().der("arl"), pki().der("crl")));
  EXPECT_EQ("init simple_bind_s search_st", calls());
  EXPECT_THAT(fake_.log("ldap_init("), ElementsAre("ldap_init(host=ds.example.org, port=1389)"));
  EXPECT_THAT(fake_.log("ldap_search_st("),
              ElementsAre("ldap_search_st(base=" + dn() +
                          ", scope=0, filter=(objectClass=*), "
                          "attrs=[certificateRevocationList;binary,authorityRevocationList], "
                          "attrsonly=0, timeout={7,0})"));
  EXPECT_THAT(sink_->texts(), ::testing::Contains("decode failed").Times(1));  // the "dn" value
}

// --- Retry and error levels ------------------------------------------------------------------

const char* const kRetried = "init simple_bind_s search_st unbind init simple_bind_s search_st";
const char* const kOnce = "init simple_bind_s search_st";
const char* const kBindOnly = "init simple_bind_s unbind";

const struct FailureCase {
  const char* name;
  const char* function;  // scripted to return rc `times` times
  int rc, times, errorLevel;
  const char* calls;
  long thrown;  // code reaching the caller, 0 for none
  size_t lists;
  bool retried;
} kFailures[] = {
    {"ServerDownRetried", "ldap_search_st", 81, 1, 0, kRetried, 0, 1, true},
    {"LocalErrorRetried", "ldap_search_st", 82, 1, 0, kRetried, 0, 1, true},
    {"ConnectErrorRetried", "ldap_search_st", 91, 1, 0, kRetried, 0, 1, true},
    {"DownTwiceLevel0", "ldap_search_st", 91, 2, 0, kRetried, 576004, 0, true},
    {"DownTwiceLevel2", "ldap_search_st", 81, 2, 2, kRetried, 0, 0, true},
    {"NoSuchObjectLevel0", "ldap_search_st", 32, 1, 0, kOnce, 576004, 0, false},
    {"NoSuchObjectLevel1", "ldap_search_st", 32, 1, 1, kOnce, 0, 0, false},
    {"SizeLimitLevel1", "ldap_search_st", 4, 1, 1, kOnce, 576004, 0, false},
    {"BindRefusedLevel0", "ldap_simple_bind_s", 49, -1, 0, kBindOnly, 576009, 0, false},
    {"BindServerDownNotRetried", "ldap_simple_bind_s", 81, -1, 0, kBindOnly, 576002, 0, false},
    {"BindRefusedLevel2", "ldap_simple_bind_s", 49, -1, 2, kBindOnly, 0, 0, false},
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SearchFailureTest : public LDAPDynamicDIRManagerTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SearchFailureTest, RetriesOnceWhenServerIsDownThenAppliesErrorLevel) {
  const FailureCase& c = GetParam();
  store(kBin, pki().der("crl"));
  info_.setErrorLevel(c.errorLevel);
  fake_.script(c.function, c.rc, c.times);
  size_t lists = 0;
  EXPECT_EQ(c.thrown, failure([&] { lists = fetch(kCRLs).size(); }));
  EXPECT_EQ(c.lists, lists);
  EXPECT_EQ(c.calls, calls());
  std::vector<std::string> expected, errors;
  if (c.retried) expected.push_back(std::string("Error(81) from ldap_search().  Retrying.") + '\0');
  for (const std::string& t : sink_->texts()) {
    if (t.rfind("Error", 0) == 0) errors.push_back(t);
  }
  EXPECT_EQ(expected, errors);
}

INSTANTIATE_TEST_SUITE_P(Rows, SearchFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& i) {
                           return std::string(i.param.name);
                         });

TEST_F(LDAPDynamicDIRManagerTest, URLFailuresFollowTheErrorLevelButARefusedBindNeverThrows) {
  const struct {
    const char* name;
    std::string url;
    const char* function;  // scripted once, or null
    int rc;
    long thrown[3];  // by error level 0, 1, 2
    bool traced;
  } rows[] = {
      {"bind refused", url(), "ldap_simple_bind_s", 49, {0, 0, 0}, false},
      {"unparsable", "no url at all", nullptr, 0, {576004, 576004, 0}, true},
      {"no such object", url(), "ldap_search_st", 32, {576004, 0, 0}, true},
  };
  for (const auto& row : rows) {
    for (int level : {0, 1, 2}) {
      SCOPED_TRACE(std::string(row.name) + " level " + std::to_string(level));
      info_.setErrorLevel(level);
      store(kBin, pki().der("crl"));
      if (row.function != nullptr) fake_.script(row.function, row.rc, 1);
      std::string message;
      EXPECT_EQ(row.thrown[level], failure([&] { fetch(kViaURI, nullptr, row.url); }, &message));
      if (row.url != url() && row.thrown[level] != 0) {
        EXPECT_EQ("Parse LDAP URL Errorrc=3. Time limit exceeded", message);
      }
      EXPECT_EQ(row.traced, sink_->contains("Error in LDAPDynamicClient search url."));
      startOver();
    }
  }
}

// --- Connection check, identity, copies ------------------------------------------------------

TEST_F(LDAPDynamicDIRManagerTest, ValidateConnectionBindsAndUnbindsTheDynamicClient) {
  EXPECT_EQ("", calls()) << "construction does not connect";
  EXPECT_TRUE(manager().validateConnection());
  EXPECT_EQ(kBindOnly, calls());
  EXPECT_FALSE(manager().getDynamicClient()->isConnected());
  startOver();
  for (int level : {0, 1, 2}) {
    info_.setErrorLevel(level);
    fake_.script("ldap_simple_bind_s", 49, 1);
    EXPECT_EQ(576009, failure([&] { manager().validateConnection(); })) << level;
    startOver();
  }
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
  for (int failAt : {1, 2}) {  // the first (dynamicClient) or the second (uriClient) fails
    SCOPED_TRACE(failAt);
    std::unique_ptr<ZEVDIRManager> copy = duplicate(failAt);
    auto* dup = static_cast<LDAPDynamicDIRManager*>(copy.get());
    EXPECT_EQ(nullptr, dup->getDynamicClient());
    EXPECT_EQ(nullptr, dup->getURIClient());
    const ZEVDIRException any("test", 1, 576004, "any");
    const struct {
      const char* name;
      std::function<void()> call;
      long code;
      const char* message;
    } rows[] = {
        {"getCRLs", [&] { fetch(kCRLs, dup); }, 576002, "Unable to login to LDAP Server"},
        {"getARLs", [&] { fetch(kARLs, dup); }, 576002, "Unable to login to LDAP Server"},
        {"validateConnection", [&] { dup->validateConnection(); }, 576002,
         "Unable to login to LDAP Server"},
        {"getViaURI", [&] { fetch(kViaURI, dup); }, 576002, "No LDAP client available"},
        {"doSearchByURI", [&] { dup->doSearchByURI(url().c_str(), 0); }, 576004,
         "LDAPClient ptr was NULL"},
        {"getRevocationListsByURI",
         [&] {
           ZEVASNCRLContainer c;
           dup->getRevocationListsByURI(url().c_str(), &c);
         },
         576004, "LDAPClient ptr was NULL"},
        {"maybeThrowIt", [&] { dup->maybeThrowIt(any); }, 576004, "LDAPClient ptr was NULL"},
        {"maybeThrowItURL", [&] { dup->maybeThrowItURL(any); }, 576004, "LDAPClient ptr was NULL"},
    };
    for (const auto& row : rows) {
      std::string message;
      EXPECT_EQ(row.code, failure(row.call, &message)) << row.name;
      EXPECT_EQ(row.message, message) << row.name;
    }
    EXPECT_THAT(fetch(kCACerts, dup), ElementsAre(pki().der("ca")));
  }
}

// --- Construction from connection information, and the creation function -------------------

// Connection information of another kind.
class OtherInfo : public ZEVDIRConnectInfo::OBJECT {
 public:
  OBJECT* clone() const override { return new OtherInfo(); }
};

TEST_F(LDAPDynamicDIRManagerTest, ConstructionFailuresAndTheCreationFunction) {
  ZEVDIRConnectInfo::LDAP noLibrary(info_);
  noLibrary.setDriverPath(fakeldap::dir() + "/libnosuchldap.so");
  OtherInfo other;
  const struct {
    const char* name;
    void* args;
    int failAt;
    long code;
    const char* kind;  // class of the stored failure; null: success
    const char* message;
  } rows[] = {
      {"built", &info_, 0, 0, nullptr, nullptr},
      {"null", nullptr, 0, 571002, "ZEVDIRException", "args cannot be NULL"},
      {"other kind", &other, 0, 571002, "ZEVDIRException", "args is invalid"},
      // The base part loads the library first and fails unchanged.
      {"no library", &noLibrary, 0, 576001, "ZEVDIRException", ""},
      // A dynamic client's failure arrives as a plain ZEVException.
      {"dynamic client fails", &info_, 1, 576001, "ZEVException", "dynamic client refused"},
      {"second dynamic client fails", &info_, 2, 576001, "ZEVException", "dynamic client refused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.failAt != 0) ZEVTrace::globalTrace().setLevel(ZEVTrace::kScopeLevel);
    sink_->failAt = row.failAt;
    int sentinel = 0;
    void* stored = &sentinel;  // overwritten on every way out
    std::unique_ptr<ZEVDIRManager> made(
        static_cast<ZEVDIRManager*>(zev9drld_newDynamicDIRManager(row.args, &stored)));
    ASSERT_NE(static_cast<void*>(&sentinel), stored);
    std::unique_ptr<ZEVException> error(static_cast<ZEVException*>(stored));
    if (row.kind == nullptr) {
      ASSERT_NE(nullptr, made);
      EXPECT_EQ(nullptr, error);
      EXPECT_EQ(ZEVString("LDAPDynamicDIRManager"), made->getClassName());
      EXPECT_TRUE(made->validateConnection());
    } else {
      EXPECT_EQ(nullptr, made);
      ASSERT_NE(nullptr, error);
      EXPECT_STREQ(row.kind, error->getClassName());
      EXPECT_EQ(row.code, error->getError());
      EXPECT_STREQ(row.message, error->what());
      sink_->failAt = row.failAt;
      EXPECT_EQ(nullptr, zev9drld_newDynamicDIRManager(row.args, nullptr));
    }
    sink_->failAt = 0;
    ZEVTrace::globalTrace().setLevel(1);
    made.reset();
    startOver();
  }
}

TEST_F(LDAPDynamicDIRManagerTest, CreationFunctionIsExportedByThePlugin) {
  const char* dir = std::getenv("ZEV_PLUGIN_DIR");
  const std::string plugin =
      std::string(dir != nullptr ? dir : ZEV_BUILD_DIR "/lib") + "/libzev9drld.so";
  void* handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << dlerror();
  auto create =
      reinterpret_cast<void* (*)(void*, void**)>(dlsym(handle, ZEV9DRLD_NEW_DYNAMIC_MANAGER));
  ASSERT_NE(nullptr, create);
  std::unique_ptr<ZEVDIRManager> made(static_cast<ZEVDIRManager*>(create(&info_, nullptr)));
  ASSERT_NE(nullptr, made);
  EXPECT_TRUE(made->isKindOf("LDAPDynamicDIRManager"));
  made.reset();
  dlclose(handle);
}

}  // namespace
