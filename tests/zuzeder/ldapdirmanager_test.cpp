// LDAPDIRManager against the fake LDAP library ("zev9ldap" through ZEV_LIBRARY_PATH): login on
// demand, retry and error levels, what each retrieval asks for, decoding and tracing of values.
#include "ldapdirmanager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>

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
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string nul(const std::string& s) { return s + '\0'; }
// The entry's name as the manager sends it, and a URL naming it.
std::string dn() {
  return ZEVASNUtility::getRFC2253String(ZEVASNx500Name::fromRFC4514(kCA), false, 5).c_str();
}
std::string url() { return "ldap://ldap.example.com:389/" + dn(); }

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

enum Op { kCACerts, kUserCerts, kCRLs, kARLs, kViaURI };

class LDAPDIRManagerTest : public ::testing::Test {
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
  // Drops the manager, checks that every handle came back, and clears the fake and trace.
  void startOver() {
    manager_.reset();
    EXPECT_EQ(0, fake_.outstanding()) << fake_.handleReport();
    EXPECT_EQ(0, fake_.badFrees()) << fake_.handleReport();
    fake_.reset();
    sink_->clear();
  }
  LDAPDIRManager& manager() {
    if (!manager_) manager_.reset(new LDAPDIRManager(info_));
    return *manager_;
  }
  void store(const char* attr, const Bytes& value) { fake_.addBytes(dn(), attr, value); }
  std::vector<Bytes> fetch(Op op) {
    ZEVASNx500Name name = ZEVASNx500Name::fromRFC4514(kCA);
    switch (op) {
      case kCACerts:
        return ders(manager().getCACertificates(name));
      case kUserCerts:
        return ders(manager().getUserCertificates(name));
      case kCRLs:
        return ders(manager().getCRLs(name));
      case kARLs:
        return ders(manager().getARLs(name));
      case kViaURI:
        return ders(manager().getViaURI(url().c_str()));
    }
    return {};
  }
  // The session calls in order, shortened: "init bind search unbind ...".
  std::string calls() const {
    std::string out;
    for (const std::string& l : fake_.log()) {
      for (const char* f : {"init", "simple_bind_s", "unbind", "search_st", "url_search_st"}) {
        if (l.rfind(std::string("ldap_") + f + "(", 0) == 0) out += std::string(" ") + f;
      }
    }
    return out.empty() ? out : out.substr(1);
  }
  int traced(const std::string& text) const {
    int n = 0;
    for (const std::string& t : sink_->texts()) n += t == text;
    return n;
  }

  fakeldap::Library fake_{fakeldap::zevPath()};
  std::shared_ptr<ZEVMemoryTraceSink> sink_ = std::make_shared<ZEVMemoryTraceSink>();
  ZEVDIRConnectInfo::LDAP info_;
  std::unique_ptr<LDAPDIRManager> manager_;
};

// --- Retry and error levels ------------------------------------------------------------------

const char* const kRetried = "init simple_bind_s search_st unbind init simple_bind_s search_st";
const char* const kOnce = "init simple_bind_s search_st";
const char* const kBindOnly = "init simple_bind_s unbind";
const char* const k81 = "Error(81) from ldap_search().  Can't contact LDAP server  Retrying.";

const struct FailureCase {
  const char* name;
  const char* function;  // scripted to return rc `times` times
  int rc, times, errorLevel;
  const char* calls;
  long thrown;          // code reaching the caller, 0 for none
  size_t lists;         // lists returned otherwise
  const char* retried;  // the retry trace, or null
} kFailures[] = {
    {"ServerDownRetried", "ldap_search_st", 81, 1, 0, kRetried, 0, 1, k81},
    {"LocalErrorRetried", "ldap_search_st", 82, 1, 0, kRetried, 0, 1,
     "Error(82) from ldap_search().  Local error  Retrying."},
    {"ConnectErrorRetried", "ldap_search_st", 91, 1, 0, kRetried, 0, 1,
     "Error(91) from ldap_search().  Connect error  Retrying."},
    {"DownTwiceLevel0", "ldap_search_st", 81, 2, 0, kRetried, 576004, 0, k81},
    {"DownTwiceLevel2", "ldap_search_st", 81, 2, 2, kRetried, 0, 0, k81},
    {"BadCredentialsNotRetried", "ldap_search_st", 49, 1, 0, kOnce, 576004, 0, nullptr},
    {"NoSuchObjectLevel0", "ldap_search_st", 32, 1, 0, kOnce, 576004, 0, nullptr},
    {"NoSuchObjectLevel1", "ldap_search_st", 32, 1, 1, kOnce, 0, 0, nullptr},
    {"NoSuchObjectLevel2", "ldap_search_st", 32, 1, 2, kOnce, 0, 0, nullptr},
    {"SizeLimitLevel0", "ldap_search_st", 4, 1, 0, kOnce, 576004, 0, nullptr},
    {"SizeLimitLevel1", "ldap_search_st", 4, 1, 1, kOnce, 576004, 0, nullptr},
    {"SizeLimitLevel2", "ldap_search_st", 4, 1, 2, kOnce, 0, 0, nullptr},
    {"BindRefusedLevel0", "ldap_simple_bind_s", 49, -1, 0, kBindOnly, 576009, 0, nullptr},
    {"BindRefusedLevel1", "ldap_simple_bind_s", 49, -1, 1, kBindOnly, 576009, 0, nullptr},
    {"BindRefusedLevel2", "ldap_simple_bind_s", 49, -1, 2, kBindOnly, 0, 0, nullptr},
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SearchFailureTest : public LDAPDIRManagerTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SearchFailureTest, RetriesOnceOnlyWhenServerIsDownThenAppliesErrorLevel) {
  const FailureCase& c = GetParam();
  store(kBin, pki().der("crl"));
  info_.setErrorLevel(c.errorLevel);
  fake_.script(c.function, c.rc, c.times);
  long thrown = 0;
  size_t lists = 0;
  try {
    lists = fetch(kCRLs).size();
  } catch (const ZEVDIRException& e) {
    thrown = e.getError();
  }
  EXPECT_EQ(c.thrown, thrown);
  EXPECT_EQ(c.lists, lists);
  EXPECT_EQ(c.calls, calls());
  std::vector<std::string> expected, errors;
  if (c.retried != nullptr) expected.push_back(nul(c.retried));
  for (const std::string& t : sink_->texts()) {
    if (t.rfind("Error(", 0) == 0) errors.push_back(t);
  }
  EXPECT_EQ(expected, errors);
}

INSTANTIATE_TEST_SUITE_P(Rows, SearchFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& i) {
                           return std::string(i.param.name);
                         });

TEST_F(LDAPDIRManagerTest, ValidateConnectionPassesBindRefusalOnAtEveryLevel) {
  for (int level : {0, 1, 2}) {
    info_.setErrorLevel(level);
    fake_.script("ldap_simple_bind_s", 49, 1);
    long thrown = 0;
    try {
      manager().validateConnection();
    } catch (const ZEVDIRException& e) {
      thrown = e.getError();
    }
    EXPECT_EQ(576009, thrown) << level;
    startOver();
  }
}

// --- Session set-up --------------------------------------------------------------------------

TEST_F(LDAPDIRManagerTest, ValidateConnectionBindsUnbindsAndReturnsTrue) {
  manager_.reset(new LDAPDIRManager(ZEVDIRConnectInfo::LDAP(info_)));  // keeps its own copy
  EXPECT_EQ("", calls()) << "construction does not connect";
  EXPECT_TRUE(manager().validateConnection());
  EXPECT_EQ(kBindOnly, calls());
  EXPECT_FALSE(manager().getClient()->isConnected());
}

TEST_F(LDAPDIRManagerTest, VersionAndUserDNShapeTheLogin) {
  const struct {
    int version;
    const char *userDN, *option, *bind;
  } rows[] = {
      {1, "", "ldap_set_option(option=17, value=3)",
       "ldap_simple_bind_s(dn=(null), password=(null))"},
      {0, "cn=admin", "ldap_set_option(option=17, value=2)",
       "ldap_simple_bind_s(dn=cn=admin, password=secret)"},
      {2, "", "ldap_set_option(option=17, value=2)",
       "ldap_simple_bind_s(dn=(null), password=(null))"},
  };
  info_.setUserPassword(ZEVString("secret"));
  for (const auto& row : rows) {
    info_.setVersion(row.version);
    info_.setUserDN(row.userDN);
    manager().validateConnection();
    EXPECT_THAT(fake_.log("ldap_set_option(option=17"), ElementsAre(row.option));
    EXPECT_THAT(fake_.log("ldap_simple_bind_s("), ElementsAre(row.bind));
    startOver();
  }
}

TEST_F(LDAPDIRManagerTest, DuplicateIsAnIndependentUnconnectedManager) {
  store(kBin, pki().der("crl"));
  ASSERT_EQ(1u, fetch(kCRLs).size());
  std::unique_ptr<ZEVDIRManager> copy(manager().duplicate());
  LDAPDIRManager* dup = dynamic_cast<LDAPDIRManager*>(copy.get());
  ASSERT_NE(nullptr, dup);
  EXPECT_NE(manager().getClient(), dup->getClient());
  EXPECT_FALSE(dup->getClient()->isConnected());
  manager_.reset();  // the copy outlives its original
  EXPECT_EQ(1u, ders(dup->getCRLs(ZEVASNx500Name::fromRFC4514(kCA))).size());
  EXPECT_TRUE(dup->isKindOf("LDAPDIRManager"));
  EXPECT_TRUE(dup->isKindOf("ZEVDIRManager"));
  EXPECT_FALSE(dup->isKindOf("LDAPDynamicDIRManager"));
}

// --- Retrieval -------------------------------------------------------------------------------

TEST_F(LDAPDIRManagerTest, SendsTheFilterAttributesAndScopeOfEachRetrieval) {
  const std::string crl = "certificateRevocationList;binary=*)(certificateRevocationList=*)";
  const std::string crlAttrs = "certificateRevocationList;binary,certificateRevocationList";
  const struct {
    Op op;
    std::string scopeFilterAttrs;
  } rows[] = {
      {kCACerts, "0, filter=(cACertificate=*), attrs=[cACertificate]"},
      {kUserCerts, "2, filter=(userCertificate=*), attrs=[userCertificate]"},
      {kCRLs, "0, filter=(|(" + crl + "), attrs=[" + crlAttrs + "]"},
      {kARLs, "0, filter=(|(authorityRevocationList;binary=*)(authorityRevocationList=*)(" + crl +
                  "), attrs=[authorityRevocationList;binary,authorityRevocationList," + crlAttrs +
                  "]"},
  };
  for (const auto& row : rows) {
    fake_.addEntry(dn().c_str());
    EXPECT_TRUE(fetch(row.op).empty());
    EXPECT_THAT(fake_.log("ldap_search_st("),
                ElementsAre("ldap_search_st(base=" + dn() + ", scope=" + row.scopeFilterAttrs +
                            ", attrsonly=0, timeout={7,0})"));
    startOver();
  }
}

TEST_F(LDAPDIRManagerTest, ARLsComeFirstThenCRLsDuplicatesKept) {
  store(kBin, pki().der("crl"));
  store("certificateRevocationList", pki().der("crl"));
  store("authorityRevocationList;binary", pki().der("arl"));
  EXPECT_THAT(fetch(kARLs), ElementsAre(pki().der("arl"), pki().der("crl"), pki().der("crl")));
}

TEST_F(LDAPDIRManagerTest, DamagedValueBetweenGoodOnesIsSkippedWithATrace) {
  store("cACertificate", pki().der("ca"));
  store("cACertificate", bytes("{ASN}30zz"));
  store("cACertificate", bytes(pki().pem("ca2")));
  EXPECT_THAT(fetch(kCACerts), ElementsAre(pki().der("ca"), pki().der("ca2")));
  EXPECT_EQ(1, traced("decode failed"));
}

TEST_F(LDAPDIRManagerTest, EveryEncodingDecodesToTheSameDER) {
  const struct {
    const char* name;
    std::string (*encode)(const char* file);
  } rows[] = {
      {"DER",
       [](const char* f) {
         Bytes d = pki().der(f);
         return std::string(d.begin(), d.end());
       }},
      {"PEM", [](const char* f) { return pki().pem(f); }},
      {"PEMWithNul", [](const char* f) { return nul(pki().pem(f)); }},
      {"Base64", [](const char* f) { return testpki::toBase64(pki().der(f)); }},
      {"ASNHex", [](const char* f) { return "{ASN}" + testpki::toHex(pki().der(f)); }},
      {"asnHex", [](const char* f) { return "{asn}" + testpki::toHex(pki().der(f), false); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    store("cACertificate", bytes(row.encode("ca")));
    store(kBin, bytes(row.encode("crl")));
    EXPECT_THAT(fetch(kCACerts), ElementsAre(pki().der("ca")));
    EXPECT_THAT(fetch(kCRLs), ElementsAre(pki().der("crl")));
    EXPECT_EQ(0, traced("decode failed"));
    startOver();
  }
}

TEST_F(LDAPDIRManagerTest, URLSearchDecodesEveryValueAndTheDNFails) {
  store(kBin, pki().der("crl"));
  store("authorityRevocationList", pki().der("arl"));
  EXPECT_THAT(fetch(kViaURI), ::testing::UnorderedElementsAre(pki().der("crl"), pki().der("arl")));
  EXPECT_EQ(1, traced("decode failed"));
  EXPECT_EQ("init url_search_st", calls()) << "no bind on this road";
  EXPECT_THAT(fake_.log("ldap_url_search_st("),
              ElementsAre("ldap_url_search_st(url=" + url() + ", attrsonly=0, timeout={7,0})"));
}

TEST_F(LDAPDIRManagerTest, URLSearchFailureIsTracedThenFollowsErrorLevel) {
  for (int level : {0, 2}) {
    info_.setErrorLevel(level);
    fake_.script("ldap_url_search_st", 81, 1);
    long thrown = 0;
    try {
      EXPECT_TRUE(fetch(kViaURI).empty());
    } catch (const ZEVDIRException& e) {
      thrown = e.getError();
    }
    EXPECT_EQ(level == 0 ? 576004 : 0, thrown);
    EXPECT_EQ(1, traced(nul("Error(81) from ldap_url_search_st().  Can't contact LDAP server")));
    startOver();
  }
}

TEST_F(LDAPDIRManagerTest, NegativeEntryCountSurfacesTheResultSetFailure) {
  store(kBin, pki().der("crl"));
  fake_.script("ldap_count_entries", -1, -1);
  try {
    fetch(kCRLs);
    ADD_FAILURE() << "no exception";
  } catch (const ZEVDIRException& e) {
    ADD_FAILURE() << "expected the result set's own exception: " << e.what();
  } catch (const ZEVException& e) {
    EXPECT_EQ(0, e.getError());
    EXPECT_THAT(e.what(), ::testing::StartsWith("LDAPSearchResults: "));
  }
}

TEST_F(LDAPDIRManagerTest, LongValuesAreDumpedCutToTheFirst256Bytes) {
  const struct {
    Op op;
    size_t size;
    bool fullTrace;
    const char* limit;  // null: dumped whole
  } rows[] = {
      {kCRLs, 300, false, "Data Read Trace Limited to 256 Bytes"},
      {kCRLs, 256, false, nullptr},
      {kCRLs, 300, true, nullptr},
      {kCACerts, 300, false, "Data Read Trace Limited to 256 Bytes:"},
      {kViaURI, 300, false, "Data Read Trace Limited to 256 Bytes:"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op * 1000 + row.size);
    info_.setisTraceFullCRL(row.fullTrace);
    Bytes value(row.size);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>(i % 251 + 1);
    store(row.op == kCACerts ? "cACertificate" : kBin, value);
    EXPECT_TRUE(fetch(row.op).empty());
    std::ostringstream dump;
    if (row.limit != nullptr) dump << row.limit << "\n";
    ZEVUtility::hexdump(dump, ZEVASNCBuffer(value.data(), row.limit ? 256 : row.size), "HEX");
    EXPECT_EQ(1, traced(dump.str()));
    startOver();
  }
}

}  // namespace
