// Certificates and CRLs from the forms a directory stores them in, and the utilities around them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "support/testpki.h"
#include "zevcms.h"

using namespace zev09000003;
using testpki::Bytes;

namespace {

ZEVFastBuffer buffer(const std::string& s) { return ZEVFastBuffer(s.size(), s.data()); }

// What f throws, as "code: text"; empty when it throws nothing.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const ZEVException& e) {
    return std::to_string(e.getError()) + ": " + e.what();
  }
  return "";
}

enum Form { kDER, kPEM, kBase64, kHex };

// Writes der in form, as a directory may store it, and decodes that with the host layer.
void storeAndDecode(Form form, const Bytes& der, ZEVASNObject& object) {
  ZEVFastBuffer value(der.size(), der.data());
  ZEVString type;
  if (form == kPEM) {
    std::string pem = "text\n-----BEGIN X-----\n" + testpki::toBase64(der) + "-----END X-----\n";
    ASSERT_EQ(ZEVUtility::Base64DearmorPemToBuf(value, type, buffer(pem), nullptr), 0);
  } else if (form == kBase64) {
    value = ZEVKRYUtility::decodeData_BASE64(buffer(testpki::toBase64(der)), nullptr);
  } else if (form == kHex) {
    value = ZEVUtility::hexStringToBinary(testpki::toHex(der));
  }
  ZEVASNUtility::setDEREncoding(value, object);
}

TEST(StoredForms, EachFormDecodesToTheDERAndDamageThrowsByName) {
  for (const char* name : {"ca", "crl"}) {
    const Bytes der = testpki::get().der(name);
    Bytes cut(der.begin(), der.end() - 10), longer = der;
    longer.push_back(0);
    for (Form form : {kDER, kPEM, kBase64, kHex}) {
      SCOPED_TRACE(std::string(name) + " in form " + std::to_string(form));
      std::unique_ptr<ZEVASNObject> object(new ZEVASNCertificateList);
      if (std::string(name) == "ca") object.reset(new ZEVASNx509Certificate);
      EXPECT_THROW(storeAndDecode(form, cut, *object), ZEVException);
      EXPECT_THROW(storeAndDecode(form, longer, *object), ZEVException);
      EXPECT_TRUE(object->isEmpty());
      storeAndDecode(form, der, *object);
      const unsigned char* value = object->getDEREncoding().getValue();
      EXPECT_EQ(Bytes(value, value + object->getDEREncoding().getLength()), der);
    }
  }
  EXPECT_EQ(thrown([] { ZEVUtility::hexStringToBinary("0a1"); }),
            "571101: hex text has an odd number of digits (3)");
  Bytes d = testpki::get().der("user1");
  d.push_back(0);
  EXPECT_EQ(thrown([&] { ZEVASNx509Certificate().setDER(ZEVASNCBuffer(d.data(), d.size())); }),
            "571100: certificate does not decode: trailing bytes after the DER encoding (" +
                std::to_string(d.size() - 1) + " of " + std::to_string(d.size()) + " used)");
}

// An object of the chain test PKI, decoded by the host layer.
template <class T>
std::unique_ptr<T> chainObject(const std::string& name) {
  const Bytes der = testpki::chain().der(name);
  std::unique_ptr<T> object(new T);
  object->setDER(ZEVASNCBuffer(der.data(), der.size()));
  return object;
}

// What the openssl command prints for a list, e.g. "crlNumber=0x04".
std::string opensslCRL(const std::string& name, const std::string& option) {
  std::string out;
  FILE* pipe = popen(
      ("openssl crl -noout " + option + " -in " + testpki::chain().path(name + ".pem") + " 2>&1")
          .c_str(),
      "r");
  char buffer[512];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  if (pipe != nullptr) pclose(pipe);
  return out.substr(0, out.find('\n'));
}

TEST(RevocationList, TimesAreTheOnesItWasMadeWith) {
  const testpki::Material& pki = testpki::chain();
  auto crl = chainObject<ZEVASNCertificateList>("inter-crl");
  EXPECT_EQ(crl->getThisUpdateTime(), pki.time("CRL_THIS"));
  ZEVEpochSeconds next = 0;
  EXPECT_TRUE(crl->getNextUpdateTime(next));
  EXPECT_EQ(next, pki.time("CRL_NEXT"));
  next = 7;
  EXPECT_FALSE(chainObject<ZEVASNCertificateList>("entry-critical")->getNextUpdateTime(next));
  EXPECT_EQ(next, 7);
  ZEVASNCertificateList empty;
  EXPECT_THROW(empty.getThisUpdateTime(), ZEVException);
  EXPECT_THROW(empty.getNextUpdateTime(next), ZEVException);
  EXPECT_THROW(empty.getScope(), ZEVException);
}

TEST(RevocationList, ScopeReportsTheIssuingDistributionPointDeltaAndCriticalExtensions) {
  const std::string dp =
      "ldap:///cn=Chain%20Intermediate%2Co=Example%2Cc=GB?certificateRevocationList;binary";
  const struct {
    const char* list;
    bool user, ca, attributes, reasons, indirect, delta, partitioned;
    std::vector<std::string> critical, points;
  } rows[] = {
      // clang-format off
      {"inter-crl", false, false, false, false, false, false, false, {}, {}},
      {"scope-user", true, false, false, false, false, false, false, {}, {}},
      {"scope-ca", false, true, false, false, false, false, false, {}, {}},
      {"scope-attr", false, false, true, false, false, false, false, {}, {}},
      {"scope-reasons", false, false, false, true, false, false, false, {}, {}},
      {"scope-indirect", false, false, false, false, true, false, false, {}, {}},
      {"scope-delta", false, false, false, false, false, true, false, {}, {}},
      {"scope-dp", false, false, false, false, false, false, true, {}, {dp}},
      {"scope-critical", false, false, false, false, false, false, false,
       {"1.3.6.1.4.1.55555.1"}, {}},
      {"entry-critical", false, false, false, false, false, false, false,
       {"1.3.6.1.4.1.55555.2"}, {}},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.list);
    ZEVCRLScope scope = chainObject<ZEVASNCertificateList>(row.list)->getScope();
    EXPECT_EQ(scope.onlyUserCerts, row.user);
    EXPECT_EQ(scope.onlyCACerts, row.ca);
    EXPECT_EQ(scope.onlyAttributeCerts, row.attributes);
    EXPECT_EQ(scope.onlySomeReasons, row.reasons);
    EXPECT_EQ(scope.indirect, row.indirect);
    EXPECT_EQ(scope.delta, row.delta);
    EXPECT_EQ(scope.partitioned, row.partitioned);
    std::vector<std::string> critical, points;
    for (const ZEVString& oid : scope.unknownCritical) critical.push_back(oid.str());
    for (const ZEVString& uri : scope.distributionPoints) points.push_back(uri.str());
    EXPECT_EQ(critical, row.critical);
    EXPECT_EQ(points, row.points);
    EXPECT_EQ(scope.crlNumber.empty() ? "crlNumber=<NONE>" : "crlNumber=0x" + scope.crlNumber.str(),
              opensslCRL(row.list, "-crlnumber"));
  }
}

TEST(RevocationList, FindRevokedGivesTheEntrysDateAndReason) {
  const testpki::Material& pki = testpki::chain();
  const struct {
    const char* list;
    const char* cert;
    const char* reason;  // null: not listed
    const char* when;    // key of the revocation time in the PKI's times
  } rows[] = {
      {"inter-crl", "leaf-revoked", "keyCompromise", "REVOKED_AT"},
      {"inter-crl", "leaf-good", nullptr, nullptr},
      {"inter-crl-old", "leaf-revoked", nullptr, nullptr},
      {"root-arl", "inter2", "cACompromise", "INTER2_REVOKED_AT"},
      {"root-arl", "inter", nullptr, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.list) + " " + row.cert);
    auto crl = chainObject<ZEVASNCertificateList>(row.list);
    ZEVRevocationInfo info = crl->findRevoked(*chainObject<ZEVASNx509Certificate>(row.cert));
    EXPECT_EQ(info.revoked, row.reason != nullptr);
    if (row.reason == nullptr) continue;
    EXPECT_EQ(info.reason.str(), row.reason);
    EXPECT_EQ(info.dateTime, pki.time(row.when));
  }
}

TEST(Certificate, ValidityTimesAreTheOnesItWasIssuedWith) {
  const long long now = testpki::chain().time("NOW"), day = 86400;
  auto leaf = chainObject<ZEVASNx509Certificate>("leaf-good");
  EXPECT_EQ(leaf->getNotBeforeTime(), now - 60 * day);
  EXPECT_EQ(leaf->getNotAfterTime(), now + 3650 * day);
  EXPECT_THROW(ZEVASNx509Certificate().getNotBeforeTime(), ZEVException);
}

TEST(Utility, ConvertDCtoHostFillsAnEmptyHostFromTheDcComponents) {
  const char* const rows[][2] = {
      // URL, result ("": throws)
      {"ldap://dir.example.com/dc=other,dc=com?x", "ldap://dir.example.com/dc=other,dc=com?x"},
      {"ldap:///cn=CA,DC=a,dc=b?certificateRevocationList;binary?base",
       "ldap://a.b/cn=CA,DC=a,dc=b?certificateRevocationList;binary?base"},
      {"LDAPS:///cn=A%2Cdc=x%2C%20dc%20=%20org", "LDAPS://x.org/cn=A%2Cdc=x%2C%20dc%20=%20org"},
      {"ldap:///cn=Test%20CA,o=Example,c=GB", ""},
  };
  for (const auto& row : rows) {
    std::string host, error = thrown([&] { host = ZEVUtility::convertDCtoHost(row[0]).str(); });
    EXPECT_EQ(host, row[1]);
    EXPECT_EQ(error.empty(), host != "") << row[0];
  }
}

TEST(Utility, HexdumpWritesOffsetHexAndCharacters) {
  const std::string rows[][2] = {
      {std::string("ab\0\ny", 5), "L\n00000000  61 62 00 0a 79" + std::string(35, ' ') + "ab..y\n"},
      {"0123456789ABCDEF\xff",
       "L\n00000000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  0123456789ABCDEF\n"
       "00000010  ff                                               .\n"},
  };
  for (const auto& row : rows) {
    std::ostringstream out;
    ZEVUtility::hexdump(out, ZEVASNCBuffer(row[0].data(), row[0].size()), "L");
    EXPECT_EQ(out.str(), row[1]);
  }
}

TEST(Utility, UniquePtrMisuseThrows) {
  ZEVUniquePtr<std::string> p;
  EXPECT_EQ(thrown([&] { (void)p->size(); }),
            "571016: Attempting to use invalid unique object pointer");
  EXPECT_EQ(thrown([&] { p = static_cast<std::string*>(nullptr); }),
            "571016: Attempting to use invalid pointer");
}

}  // namespace
