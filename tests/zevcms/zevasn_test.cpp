// Certificates and CRLs from the forms a directory stores them in, and the utilities around them.
#include <gtest/gtest.h>

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
