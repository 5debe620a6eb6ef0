// Certificates, CRLs and names: decoding from the stored forms, strictness, accessors.
#include <gtest/gtest.h>

#include <string>

#include "support/testpki.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

const testpki::Material& pki() { return testpki::get(); }

ZEVFastBuffer bytes(const std::string& s) { return ZEVFastBuffer(s.size(), s.data()); }
ZEVFastBuffer bytes(const testpki::Bytes& b) { return ZEVFastBuffer(b.size(), b.data()); }

std::string text(const ZEVFastBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.getValue()), b.getLength());
}

std::unique_ptr<ZEVASNObject> makeObject(const std::string& name) {
  if (name == "crl") return std::unique_ptr<ZEVASNObject>(new ZEVASNCertificateList);
  return std::unique_ptr<ZEVASNObject>(new ZEVASNx509Certificate);
}

// The forms a directory may store an object in (PEM among other text, Base64 with and without
// line breaks, spaced hex), each decoded by the toolkit's functions back to the DER that openssl
// wrote; then set strictly: a value cut short or followed by another byte leaves the object
// empty. The faults of the decoders themselves are in zevutility_test.
TEST(StoredForms, DecodeToTheDERAndSetStrictly) {
  for (const char* name : {"ca", "crl"}) {
    SCOPED_TRACE(name);
    const testpki::Bytes d = pki().der(name);
    const std::string expected(d.begin(), d.end());
    ZEVFastBuffer fromPem;
    ZEVString type;
    const std::string pem = "stored by the directory\n" + pki().pem(name) + "words\n";
    ASSERT_EQ(ZEVUtility::Base64DearmorPemToBuf(fromPem, type, bytes(pem), nullptr), 0);
    std::string hex = testpki::toHex(d, false), spaced;
    for (size_t i = 0; i < hex.size(); i += 2) {
      spaced += hex.substr(i, 2) + (i % 64 == 62 ? "\n" : " ");
    }
    for (const ZEVFastBuffer& decoded :
         {fromPem, ZEVKRYUtility::decodeData_BASE64(bytes(testpki::toBase64(d)), nullptr),
          ZEVKRYUtility::decodeData_BASE64(bytes(testpki::toBase64(d, false)), nullptr),
          ZEVUtility::hexStringToBinary(spaced)}) {
      EXPECT_EQ(text(decoded), expected);
    }
    std::unique_ptr<ZEVASNObject> object = makeObject(name);
    for (const std::string& bad : {expected.substr(0, expected.size() - 10), expected + '\0'}) {
      EXPECT_THROW(ZEVASNUtility::setDEREncoding(bytes(bad), *object), ZEVException);
      EXPECT_TRUE(object->isEmpty());
    }
    ZEVASNUtility::setDEREncoding(bytes(expected), *object);
    EXPECT_EQ(text(object->getDEREncoding()), expected);
    EXPECT_EQ(object->getSHA256Fingerprint().length(), 32u * 3 - 1);  // "AB:CD:..."
  }
}

TEST(StrictDecode, MessagesNameTheFaultAndTheObjectStaysAsItWas) {
  ZEVASNx509Certificate cert;
  cert.setDER(bytes(pki().der("ca")).get());
  ZEVString before = cert.getSHA256Fingerprint();
  testpki::Bytes longer = pki().der("user1");
  longer.push_back(0);
  try {
    cert.setDER(bytes(longer).get());
    FAIL() << "trailing byte accepted";
  } catch (const ZEVException& e) {
    EXPECT_EQ(e.getError(), ZEV_ERR_ASN_DECODE);
    EXPECT_EQ(std::string(e.what()),
              "certificate does not decode: trailing bytes after the DER encoding (" +
                  std::to_string(longer.size() - 1) + " of " + std::to_string(longer.size()) +
                  " used)");
  }
  EXPECT_THROW(cert.setDER(ZEVASNCBuffer()), ZEVException);
  EXPECT_EQ(cert.getSHA256Fingerprint(), before);
  ZEVASNCertificateList crl;
  EXPECT_THROW(crl.setDER(bytes(pki().der("ca")).get()), ZEVException);  // a certificate
  EXPECT_THROW(crl.getIssuer(), ZEVException);                           // still empty
}

TEST(Certificate, AccessorsReadWhatOpensslWrote) {
  ZEVASNx509Certificate ca, user1;
  ca.setDER(bytes(pki().der("ca")).get());
  user1.setDER(bytes(pki().der("user1")).get());
  EXPECT_EQ(ca.getSubject().getRFC2253String(), "CN=Test CA,O=Example,C=GB");
  // "openssl ca" orders the subject as its policy lists the fields (CN first in X.509).
  EXPECT_EQ(ZEVASNUtility::getRFC2253String(user1.getSubject(), false, 5),
            "C=GB,O=Example,OU=people,CN=User One");
  EXPECT_TRUE(user1.getIssuer() == ca.getSubject());
  EXPECT_EQ(ca.getSerialNumberHex(), "01");
  EXPECT_EQ(user1.getSerialNumberHex(), "10");  // the first serial of the test CA's database
  EXPECT_TRUE(ca.isCA());
  EXPECT_FALSE(user1.isCA());
  EXPECT_NE(ca.getNotAfter().find(" GMT"), ZEVString::npos);
  std::vector<ZEVString> points = user1.getLDAPDistributionPoints();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0], "ldap:///cn=Test%20CA%2Co=Example%2Cc=GB?certificateRevocationList;binary");
  EXPECT_TRUE(ca.getLDAPDistributionPoints().empty());
  ZEVFastBuffer fromPem;
  ZEVString type;
  ASSERT_EQ(ZEVUtility::Base64DearmorPemToBuf(fromPem, type, bytes(ca.getPEM().str()), nullptr), 0);
  EXPECT_EQ(type, "CERTIFICATE");
  EXPECT_EQ(text(fromPem), text(bytes(pki().der("ca"))));
}

TEST(CertificateList, RevocationLookupAndSignature) {
  ZEVASNCertificateList crl;
  ZEVASNx509Certificate ca, other, user1, user2;
  crl.setDER(bytes(pki().der("crl")).get());
  ca.setDER(bytes(pki().der("ca")).get());
  other.setDER(bytes(pki().der("other")).get());
  user1.setDER(bytes(pki().der("user1")).get());
  user2.setDER(bytes(pki().der("user2")).get());
  EXPECT_EQ(crl.getIssuer().getRFC2253String(), "CN=Test CA,O=Example,C=GB");
  EXPECT_EQ(crl.getRevokedCount(), 1u);
  EXPECT_FALSE(crl.getNextUpdate().empty());
  ZEVRevocationInfo revoked = crl.findRevoked(user2);
  EXPECT_TRUE(revoked.revoked);
  EXPECT_EQ(revoked.reason, "keyCompromise");
  EXPECT_NE(revoked.date.find(" GMT"), ZEVString::npos);
  EXPECT_FALSE(crl.findRevoked(user1).revoked);
  EXPECT_TRUE(crl.verifySignature(ca));
  EXPECT_FALSE(crl.verifySignature(other));
  EXPECT_FALSE(crl.verifySignature(ZEVASNx509Certificate()));
}

TEST(X500Name, RFC4514TextRoundTrips) {
  struct {
    const char* text;
    const char* rfc2253;
  } rows[] = {
      {"cn=Test CA,o=Example,c=GB", "CN=Test CA,O=Example,C=GB"},
      {"CN=Smith\\, John,OU=a\\+b,O=\\\"Q\\\" Ltd,C=GB",
       "CN=Smith\\, John,OU=a\\+b,O=\\\"Q\\\" Ltd,C=GB"},
      {"cn=caf\\C3\\A9, dc = example ,2.5.4.6=DE", "CN=caf\xC3\xA9,DC=example,C=DE"},
      {"cn=one+uid=two,o=Example", "CN=one+UID=two,O=Example"},
      {"commonName=x,OID.2.5.4.10=y,UserID=u", "CN=x,O=y,UID=u"},
      {"cn=#0C03616263", "CN=abc"},
      {"", ""},
  };
  for (const auto& row : rows) {
    ZEVASNx500Name name = ZEVASNx500Name::fromRFC4514(row.text);
    EXPECT_EQ(name.getRFC2253String(), row.rfc2253) << row.text;
    ZEVFastBuffer der = name.getDER();
    EXPECT_TRUE(ZEVASNx500Name::fromDER(der.get()) == name) << row.text;
  }
  ZEVASNx509Certificate ca;
  ca.setDER(bytes(pki().der("ca")).get());
  EXPECT_TRUE(ZEVASNx500Name::fromRFC4514("cn=Test CA,o=Example,c=GB") == ca.getSubject());
}

TEST(X500Name, BadTextThrowsNamingIt) {
  const char* bad[] = {"cn",           "=x",     "cn=x,", "cn=a\\zz", "cn=a\\",
                       "nosuchtype=x", "cn=a<b", "c=GBR", "cn=#zz"};
  for (const char* text : bad) {
    try {
      ZEVASNx500Name::fromRFC4514(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ZEVException& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("\"") + text + "\""), std::string::npos)
          << e.what();
    }
  }
}

TEST(Containers, OwnerDeletesWhatWasPushed) {
  ZEVASNCertificateContainer owned;
  owned.push_back(new ZEVASNx509Certificate);  // freed by the container (checked by ASan)
  ZEVASNx509Certificate kept;
  {
    ZEVASNCertificateContainer borrowed(ZEV_NOT_OWNER);
    borrowed.push_back(&kept);
  }
  EXPECT_TRUE(kept.isEmpty());
  EXPECT_EQ(owned.size(), 1u);
}

}  // namespace
