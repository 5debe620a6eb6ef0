// Certificates, CRLs and names: decoding from every stored form, strictness, accessors.
#include <gtest/gtest.h>

#include <string>

#include "support/testpki.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

const testpki::Material& pki() { return testpki::get(); }

ZEVFastBuffer bytes(const std::string& s) { return ZEVFastBuffer(s.size(), s.data()); }
ZEVFastBuffer bytes(const testpki::Bytes& b) { return ZEVFastBuffer(b.size(), b.data()); }

enum Form { DER, PEM, BASE64, HEX };

// Decodes text stored in one of the forms the directory may hold, as a reader of stored
// values does: PEM de-armouring, bare Base64, or hex digits, then strict DER.
void decode(Form form, const std::string& input, ZEVASNObject& object) {
  ZEVFastBuffer der;
  switch (form) {
    case DER:
      der = bytes(input);
      break;
    case PEM: {
      ZEVString type;
      if (ZEVUtility::Base64DearmorPemToBuf(der, type, bytes(input), nullptr) != 0) {
        throw ZEVException(__FILE__, __LINE__, 1, "no PEM block");
      }
      break;
    }
    case BASE64:
      der = ZEVKRYUtility::decodeData_BASE64(bytes(input), nullptr);
      break;
    case HEX:
      der = ZEVUtility::hexStringToBinary(input);
      break;
  }
  ZEVASNUtility::setDEREncoding(der, object);
}

struct DecodeCase {
  const char* name;
  const char* object;  // "ca" (a certificate) or "crl"
  Form form;
  std::string (*make)(const std::string& object);
  bool decodes;
};

std::string der(const std::string& o) {
  testpki::Bytes b = pki().der(o);
  return std::string(b.begin(), b.end());
}
std::string pemWithJunk(const std::string& o) {
  return "stored by the directory\n" + pki().pem(o) + "trailing words\n";
}
std::string base64Lines(const std::string& o) { return testpki::toBase64(pki().der(o)); }
std::string base64Flat(const std::string& o) { return testpki::toBase64(pki().der(o), false); }
std::string hexSpaced(const std::string& o) {
  std::string h = testpki::toHex(pki().der(o), false), out;
  for (size_t i = 0; i < h.size(); i += 2) out += h.substr(i, 2) + (i % 64 == 62 ? "\n" : " ");
  return out;
}
std::string derTruncated(const std::string& o) { return der(o).substr(0, der(o).size() - 10); }
std::string derPlusByte(const std::string& o) { return der(o) + '\0'; }
std::string pemBrokenBody(const std::string& o) {
  std::string p = pki().pem(o);
  p[p.find('\n') + 20] = '!';
  return p;
}
std::string base64BadChar(const std::string& o) { return "*" + base64Flat(o).substr(1); }
std::string base64BadLength(const std::string& o) { return base64Flat(o).substr(4) + "A"; }
std::string hexOdd(const std::string& o) { return testpki::toHex(pki().der(o)) + "A"; }
std::string hexNonHex(const std::string& o) { return "3G" + testpki::toHex(pki().der(o)); }

const DecodeCase kDecodeCases[] = {
    {"CertDER", "ca", DER, der, true},
    {"CertPEMWithJunk", "ca", PEM, pemWithJunk, true},
    {"CertBase64Lines", "ca", BASE64, base64Lines, true},
    {"CertBase64Flat", "ca", BASE64, base64Flat, true},
    {"CertHexSpaced", "ca", HEX, hexSpaced, true},
    {"CrlDER", "crl", DER, der, true},
    {"CrlPEMWithJunk", "crl", PEM, pemWithJunk, true},
    {"CrlBase64Lines", "crl", BASE64, base64Lines, true},
    {"CrlBase64Flat", "crl", BASE64, base64Flat, true},
    {"CrlHexSpaced", "crl", HEX, hexSpaced, true},
    {"CertTruncatedDER", "ca", DER, derTruncated, false},
    {"CertDERPlusOneByte", "ca", DER, derPlusByte, false},
    {"CertPEMBrokenBody", "ca", PEM, pemBrokenBody, false},
    {"CertBase64BadChar", "ca", BASE64, base64BadChar, false},
    {"CertBase64BadLength", "ca", BASE64, base64BadLength, false},
    {"CertHexOdd", "ca", HEX, hexOdd, false},
    {"CertHexNonHex", "ca", HEX, hexNonHex, false},
    {"CrlTruncatedDER", "crl", DER, derTruncated, false},
    {"CrlDERPlusOneByte", "crl", DER, derPlusByte, false},
    {"CrlPEMBrokenBody", "crl", PEM, pemBrokenBody, false},
};

std::unique_ptr<ZEVASNObject> makeObject(const std::string& kind) {
  if (kind == "crl") return std::unique_ptr<ZEVASNObject>(new ZEVASNCertificateList);
  return std::unique_ptr<ZEVASNObject>(new ZEVASNx509Certificate);
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, GivesTheSameObjectOrThrows) {
  const DecodeCase& c = GetParam();
  std::unique_ptr<ZEVASNObject> object = makeObject(c.object);
  std::string input = c.make(c.object);
  if (!c.decodes) {
    EXPECT_THROW(decode(c.form, input, *object), ZEVException);
    EXPECT_TRUE(object->isEmpty());
    return;
  }
  decode(c.form, input, *object);
  ZEVString expectedDER(der(c.object));
  EXPECT_EQ(ZEVString(object->getDEREncoding().get()), expectedDER);
  std::unique_ptr<ZEVASNObject> reference = makeObject(c.object);
  reference->setDER(bytes(der(c.object)).get());
  EXPECT_EQ(object->getSHA256Fingerprint(), reference->getSHA256Fingerprint());
  EXPECT_EQ(object->getSHA256Fingerprint().length(), 32u * 3 - 1);
}

INSTANTIATE_TEST_SUITE_P(Forms, DecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& i) {
                           return std::string(i.param.name);
                         });

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
  ZEVASNx509Certificate pemAgain;
  ZEVFastBuffer der;
  ZEVString type;
  ZEVString pem = ca.getPEM();
  ASSERT_EQ(ZEVUtility::Base64DearmorPemToBuf(der, type, bytes(pem.str()), nullptr), 0);
  EXPECT_EQ(type, "CERTIFICATE");
  pemAgain.setDER(der.get());
  EXPECT_EQ(pemAgain.getSHA256Fingerprint(), ca.getSHA256Fingerprint());
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
