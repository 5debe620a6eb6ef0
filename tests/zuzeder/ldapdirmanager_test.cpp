// LDAPDIRManager against the fake LDAP library ("zev9ldap" through ZEV_LIBRARY_PATH): login on
// demand, retry and error levels, what each retrieval asks for, decoding and tracing of values.
#include "ldapdirmanager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "support/dirmanager.h"

using namespace zev09000003;
using namespace dirmanager;
using ::testing::ElementsAre;

namespace {

using LDAPDIRManagerTest = dirmanager::Test<LDAPDIRManager>;

// --- Retry and error levels ------------------------------------------------------------------

const char* const k81 = "Error(81) from ldap_search().  Can't contact LDAP server  Retrying.";

// clang-format off
const Failure kFailures[] = {
    {"ServerDownRetried", kCRLs, kSearch, 81, 1, 0, kRetried, 0, 1, k81},
    {"LocalErrorRetried", kCRLs, kSearch, 82, 1, 0, kRetried, 0, 1,
     "Error(82) from ldap_search().  Local error  Retrying."},
    {"ConnectErrorRetried", kCRLs, kSearch, 91, 1, 0, kRetried, 0, 1,
     "Error(91) from ldap_search().  Connect error  Retrying."},
    {"DownTwiceLevel0", kCRLs, kSearch, 81, 2, 0, kRetried, 576004, 0, k81},
    {"DownTwiceLevel2", kCRLs, kSearch, 81, 2, 2, kRetried, 0, 0, k81},
    {"BadCredentialsNotRetried", kCRLs, kSearch, 49, 1, 0, kOnce, 576004, 0, nullptr},
    {"NoSuchObjectLevel0", kCRLs, kSearch, 32, 1, 0, kOnce, 576004, 0, nullptr},
    {"NoSuchObjectLevel1", kCRLs, kSearch, 32, 1, 1, kOnce, 0, 0, nullptr},
    {"NoSuchObjectLevel2", kCRLs, kSearch, 32, 1, 2, kOnce, 0, 0, nullptr},
    {"SizeLimitLevel0", kCRLs, kSearch, 4, 1, 0, kOnce, 576004, 0, nullptr},
    {"SizeLimitLevel1", kCRLs, kSearch, 4, 1, 1, kOnce, 576004, 0, nullptr},
    {"SizeLimitLevel2", kCRLs, kSearch, 4, 1, 2, kOnce, 0, 0, nullptr},
    {"BindRefusedLevel0", kCRLs, kBind, 49, -1, 0, kBindOnly, 576009, 0, nullptr},
    {"BindRefusedLevel1", kCRLs, kBind, 49, -1, 1, kBindOnly, 576009, 0, nullptr},
    {"BindRefusedLevel2", kCRLs, kBind, 49, -1, 2, kBindOnly, 0, 0, nullptr},
    // The connection check passes a refused bind on whatever the level.
    {"ValidateBindRefusedLevel2", kValidate, kBind, 49, 1, 2, kBindOnly, 576009, 0, nullptr},
};
// clang-format on

class Retry : public LDAPDIRManagerTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(Retry, OnceOnlyWhenServerIsDownThenAppliesErrorLevel) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, Retry, ::testing::ValuesIn(kFailures), fakeclient::RowName());

// --- Session set-up --------------------------------------------------------------------------

TEST_F(LDAPDIRManagerTest, ValidateConnectionLogsInAsVersionAndUserDNSayThenLogsOut) {
  const char* const kAnonymous = "ldap_simple_bind_s(dn=(null), password=(null))";
  const struct {
    int version;
    const char *userDN, *option, *bind;
  } rows[] = {
      {1, "", "ldap_set_option(option=17, value=3)", kAnonymous},
      {0, "cn=admin", "ldap_set_option(option=17, value=2)",
       "ldap_simple_bind_s(dn=cn=admin, password=secret)"},
      {2, "", "ldap_set_option(option=17, value=2)", kAnonymous},
  };
  info.setUserPassword(ZEVString("secret"));
  for (const auto& row : rows) {
    info.setVersion(row.version);
    info.setUserDN(row.userDN);
    manager_.reset(new LDAPDIRManager(ZEVDIRConnectInfo::LDAP(info)));  // keeps its own copy
    EXPECT_EQ("", calls()) << "construction does not connect";
    EXPECT_TRUE(manager().validateConnection());
    EXPECT_EQ(kBindOnly, calls());
    EXPECT_FALSE(manager().getClient()->isConnected());
    EXPECT_THAT(lib.log("ldap_set_option(option=17"), ElementsAre(row.option));
    EXPECT_THAT(lib.log("ldap_simple_bind_s("), ElementsAre(row.bind));
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
  EXPECT_EQ(1u, fetch(kCRLs, dup).size());
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
    lib.addEntry(dn().c_str());
    EXPECT_TRUE(fetch(row.op).empty());
    EXPECT_THAT(lib.log("ldap_search_st("),
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
  // DER, PEM, PEM with a terminator, bare Base64, "{ASN}" hex, "{asn}" lower-case hex.
  auto encodings = [](const char* file) {
    const Bytes d = pki().der(file);
    const std::string pem = pki().pem(file);
    return std::vector<std::string>{std::string(d.begin(), d.end()),
                                    pem,
                                    nul(pem),
                                    testpki::toBase64(d),
                                    "{ASN}" + testpki::toHex(d),
                                    "{asn}" + testpki::toHex(d, false)};
  };
  const std::vector<std::string> ca = encodings("ca"), crl = encodings("crl");
  for (size_t i = 0; i < ca.size(); ++i) {
    SCOPED_TRACE(i);
    store("cACertificate", bytes(ca[i]));
    store(kBin, bytes(crl[i]));
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
  EXPECT_THAT(lib.log("ldap_url_search_st("),
              ElementsAre("ldap_url_search_st(url=" + url + ", attrsonly=0, timeout={7,0})"));
}

TEST_F(LDAPDIRManagerTest, URLSearchFailureIsTracedThenFollowsErrorLevel) {
  for (int level : {0, 2}) {
    info.setErrorLevel(level);
    lib.script("ldap_url_search_st", 81, 1);
    EXPECT_EQ(level == 0 ? 576004 : 0, fakeclient::failure([&] { fetch(kViaURI); }));
    EXPECT_EQ(1, traced(nul("Error(81) from ldap_url_search_st().  Can't contact LDAP server")));
    startOver();
  }
}

TEST_F(LDAPDIRManagerTest, NegativeEntryCountSurfacesTheResultSetFailure) {
  store(kBin, pki().der("crl"));
  lib.script("ldap_count_entries", -1, -1);
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
    info.setisTraceFullCRL(row.fullTrace);
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
