// Certificates and CRLs from the forms a directory stores them in, and the utilities around them.
#include <gtest/gtest.h>

#include <algorithm>
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

// Each decoder on a text, through both of its overloads: the owned buffer, and a view of
// the text inside a larger buffer (so a decoder that reads past its view is caught). Gives
// "=<bytes>" (PEM: "<label>=<bytes>") or "!<message>" (PEM: "!<return code>").
enum Decoder { kPemDecoder, kBase64Decoder, kHexDecoder };
std::string decodeBoth(Decoder decoder, const std::string& text) {
  const std::string framed = "[" + text + "]";
  const ZEVASNCBuffer view(framed.data() + 1, text.size());
  // in: the text as the PEM and Base64 decoders take it; hex: as the hex decoder does.
  auto decode = [decoder](const auto& in, const auto& hex) {
    ZEVFastBuffer out(4, "keep");
    ZEVString type("kept");
    std::string r;
    if (decoder == kPemDecoder) {
      int rc = ZEVUtility::Base64DearmorPemToBuf(out, type, in, nullptr);
      r = rc != 0 ? "!" + std::to_string(rc) : type.str() + "=";
    } else {
      std::string error = thrown([&] {
        out = decoder == kBase64Decoder ? ZEVKRYUtility::decodeData_BASE64(in, nullptr)
                                        : ZEVUtility::hexStringToBinary(hex);
      });
      r = error.empty() ? "=" : "!" + error;
    }
    // A failed PEM decoding leaves out and type alone.
    return r + std::string(reinterpret_cast<const char*>(out.getValue()), out.getLength());
  };
  const std::string owned = decode(buffer(text), ZEVString(text));
  EXPECT_EQ(owned, decode(view, view)) << "owned and view forms differ on \"" << text << "\"";
  return owned;
}

TEST(StoredForms, DecodersGiveTheirResultOrANamedError) {
  const std::string bad = "571101: Base64 text has ";
  const struct {
    Decoder decoder;
    std::string text, expected;
  } rows[] = {
      {kPemDecoder, "junk\n-----BEGIN X-----\nZm9v\n-----END X-----\ntail", "X=foo"},
      {kPemDecoder, "-----BEGIN X-----\r\nZm9v\r\nYmFy\r\n-----END X-----\r\n", "X=foobar"},
      {kPemDecoder, "-----BEGIN A-----\n-----BEGIN B-----\nZm9v\n-----END B-----", "B=foo"},
      {kPemDecoder, "-----BEGIN B-----\nZm9v\n-----END B-----\n-----END A-----", "B=foo"},
      // The earliest BEGIN with a matching END wins, even when its END comes later.
      {kPemDecoder,
       "-----BEGIN A-----\nZm9v\n-----BEGIN B-----\nYmFy\n-----END B-----\n-----END A-----",
       "!2keep"},
      {kPemDecoder,
       "-----BEGIN A-----\nYmFy\n-----END A-----\n-----BEGIN A-----Zm9v-----END A-----", "A=bar"},
      {kPemDecoder, "-----END X-----\n-----BEGIN X-----\nZm9v\n", "!1keep"},
      {kPemDecoder, "-----BEGIN X-----\nZm9v\n-----END Y-----", "!1keep"},
      {kPemDecoder, "-----BEGIN X-----END X-----", "!1keep"},
      {kPemDecoder, "-----BEGIN X\n-----\nZm9v\n-----END X\n-----", "!1keep"},
      {kPemDecoder, "-----BEGIN X-----\nProc-Type: 4\nZm9v\n-----END X-----", "!2keep"},
      {kPemDecoder, "-----BEGIN X-----\nZm9\n-----END X-----", "!2keep"},
      {kPemDecoder, "-----BEGIN X-----\n\n-----END X-----", "!2keep"},
      {kPemDecoder, "-----BEGIN -----\nZm9v\n-----END -----", "=foo"},
      {kPemDecoder, "", "!1keep"},
      {kBase64Decoder, " Zm9v\nYmE=\r\n", "=fooba"},
      {kBase64Decoder, "Zg==", "=f"},
      {kBase64Decoder, "", "="},
      {kBase64Decoder, "Zm9v!",
       "!" + bad + "a character that is not Base64: '!' at position 4keep"},
      {kBase64Decoder, "Zm\x01v",
       "!" + bad + "a character that is not Base64: '\\x01' at position 2keep"},
      {kBase64Decoder, "Zg==Zm9v", "!" + bad + "padding '=' before its end, at position 2keep"},
      {kBase64Decoder, "Z\n===", "!" + bad + "padding '=' before its end, at position 2keep"},
      {kBase64Decoder, "Zg==Zm9", "!" + bad + "7 characters, not a multiple of 4keep"},
      {kBase64Decoder, "Zg==Zm9!",
       "!" + bad + "a character that is not Base64: '!' at position 7keep"},
      {kHexDecoder, "0a 1B\n ff", "=\x0a\x1b\xff"},
      {kHexDecoder, "", "="},
      {kHexDecoder, "0a1", "!571101: hex text has an odd number of digits (3)keep"},
      {kHexDecoder, "0a 1g",
       "!571101: hex text has a character that is not a hex digit: 'g' at "
       "position 4keep"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(decodeBoth(row.decoder, row.text), row.expected) << row.text;
  }
}

// Text -> name -> text -> name, and DER -> name -> text -> name: the printed text parses back
// to the same name (same DER where the printed form keeps the value's type) and prints again
// the same. Values that text would change print as '#' and the hex of their DER.
TEST(Names, AwkwardNamesRoundTripThroughTextAndDER) {
  const struct {
    std::string text, printed;
    bool sameDER;
  } rows[] = {
      {"cn=CA1,o=Example,c=GB", "CN=CA1,O=Example,C=GB", true},
      {"CN=\\#", "CN=\\#", true},
      {"CN=\\#1 2", "CN=\\#1 2", true},
      {"CN=\\ ", "CN=\\ ", true},
      {"CN=\\  lead and trail \\ ", "CN=\\  lead and trail \\ ", true},
      {"CN=a\\,b\\+c\\;d\\=e\\\\f", "CN=a\\,b\\+c\\;d=e\\\\f", true},
      {"CN=\\\"q\\\" \\<x\\>", "CN=\\\"q\\\" \\<x\\>", true},
      {"CN=nul\\00byte\\0Aline", "CN=nul\\00byte\\0Aline", true},
      {"CN=caf\xc3\xa9 \xe2\x82\xac", "CN=caf\xc3\xa9 \xe2\x82\xac", true},
      {"cn=a + ou=b , o=c", "CN=a+OU=b,O=c", true},
      {"uid=jo+cn=Jo+sn=X,dc=example,dc=com", "UID=jo+CN=Jo+SN=X,DC=example,DC=com", true},
      {"cn=#0c00", "CN=#0C00", true},
      {"cn=#0C0141", "CN=A", true},
      {"cn=#130161", "CN=a", false},             // PrintableString comes back as UTF8String
      {"cn=#1e020041", "CN=A", false},           // BMPString likewise
      {"cn=#120131", "CN=#120131", true},        // NumericString has no text form that keeps it
      {"c=#0c03474252", "C=#0C03474252", true},  // a three-letter country is no text country
      {"emailAddress=a@example.com,2.5.4.3=x", "emailAddress=a@example.com,CN=x", true},
      {"", "", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const ZEVASNx500Name name = ZEVASNx500Name::fromRFC4514(ZEVString(row.text));
    const std::string printed = name.getRFC2253String().str();
    EXPECT_EQ(printed, row.printed);
    const ZEVASNx500Name again = ZEVASNx500Name::fromRFC4514(ZEVString(printed));
    EXPECT_TRUE(again == name);
    EXPECT_EQ(again.getRFC2253String().str(), printed);
    const ZEVFastBuffer der = name.getDER(), derAgain = again.getDER();
    const bool sameDER =
        der.getLength() == derAgain.getLength() &&
        std::equal(der.getValue(), der.getValue() + der.getLength(), derAgain.getValue());
    EXPECT_EQ(sameDER, row.sameDER);
    // DER sorts the values of a multi-valued RDN, so only the name, not the text, must match.
    const ZEVASNx500Name fromDER = ZEVASNx500Name::fromDER(der.get());
    EXPECT_TRUE(fromDER == name);
    EXPECT_TRUE(ZEVASNx500Name::fromRFC4514(fromDER.getRFC2253String()) == name);
  }
  for (const char* text : {"cn=#0c02c328", "cn=#020101", "cn=#0c0141ff", "cn=\\", "cn"}) {
    const std::string error = thrown([&] { ZEVASNx500Name::fromRFC4514(ZEVString(text)); });
    EXPECT_EQ(error.find("571100: DN text does not parse: \"" + std::string(text) + "\": "), 0u)
        << error;
  }
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
  std::string out = testsupport::runShell("openssl crl -noout " + option + " -in " +
                                          testpki::chain().path(name + ".pem") + " 2>&1")
                        .output;
  return out.substr(0, out.find('\n'));
}

TEST(RevocationList, ScopeReportsTheIssuingDistributionPointDeltaAndCriticalExtensions) {
  const std::string dp =
      "ldap:///cn=Chain%20Intermediate%2Co=Example%2Cc=GB?certificateRevocationList;binary";
  // Flags: U only user certificates, C only CA certificates, A only attribute certificates,
  // R only some reasons, I indirect, D delta, P partitioned.
  const struct {
    const char* list;
    const char* flags;
    std::vector<std::string> critical, points;
  } rows[] = {
      {"inter-crl", "", {}, {}},
      {"scope-user", "U", {}, {}},
      {"scope-ca", "C", {}, {}},
      {"scope-attr", "A", {}, {}},
      {"scope-reasons", "R", {}, {}},
      {"scope-indirect", "I", {}, {}},
      {"scope-delta", "D", {}, {}},
      {"scope-dp", "P", {}, {dp}},
      {"scope-critical", "", {"1.3.6.1.4.1.55555.1"}, {}},
      {"entry-critical", "", {"1.3.6.1.4.1.55555.2"}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.list);
    ZEVCRLScope scope = chainObject<ZEVASNCertificateList>(row.list)->getScope();
    const std::string flags = std::string(scope.onlyUserCerts ? "U" : "") +
                              (scope.onlyCACerts ? "C" : "") + (scope.onlyAttributeCerts ? "A" : "") +
                              (scope.onlySomeReasons ? "R" : "") + (scope.indirect ? "I" : "") +
                              (scope.delta ? "D" : "") + (scope.partitioned ? "P" : "");
    EXPECT_EQ(flags, row.flags);
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

TEST(Times, AreTheOnesTheObjectsWereMadeWith) {
  const testpki::Material& pki = testpki::chain();
  const long long day = 86400;
  auto leaf = chainObject<ZEVASNx509Certificate>("leaf-good");
  EXPECT_EQ(leaf->getNotBeforeTime(), pki.time("NOW") - 60 * day);
  EXPECT_EQ(leaf->getNotAfterTime(), pki.time("NOW") + 3650 * day);
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
