// Encodings, strings, buffers, the checked pointer and connection information.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "zevcms.h"

using namespace zev09000003;

namespace {

TEST(ConvertDCtoHost, FillsAnEmptyHostFromTheDcComponents) {
  struct {
    const char* name;
    const char* url;
    const char* result;  // null: throws
  } rows[] = {
      {"HostKept", "ldap://dir.example.com/dc=other,dc=com?x",
       "ldap://dir.example.com/dc=other,dc=com?x"},
      {"HostWithPortKept", "LDAPS://h:636", "LDAPS://h:636"},
      {"DcJoined", "ldap:///cn=x,dc=example,dc=com", "ldap://example.com/cn=x,dc=example,dc=com"},
      {"RestUnchanged", "ldap:///cn=CA,DC=a,dc=b?certificateRevocationList;binary?base",
       "ldap://a.b/cn=CA,DC=a,dc=b?certificateRevocationList;binary?base"},
      {"PercentDecoded", "LDAP:///cn=A%2Cdc=x%2C%20dc%20=%20org",
       "LDAP://x.org/cn=A%2Cdc=x%2C%20dc%20=%20org"},
      {"Ldaps", "ldaps:///dc=example,dc=net", "ldaps://example.net/dc=example,dc=net"},
      {"NoDc", "ldap:///cn=Test%20CA,o=Example,c=GB", nullptr},
      {"NoDN", "ldap://", nullptr},
      {"NotAnLdapUrl", "http:///dc=example,dc=com", nullptr},
      {"BadPercent", "ldap:///dc=ex%2", nullptr},
  };
  for (const auto& row : rows) {
    if (row.result == nullptr) {
      EXPECT_THROW(ZEVUtility::convertDCtoHost(row.url), ZEVException) << row.name;
    } else {
      EXPECT_EQ(ZEVUtility::convertDCtoHost(row.url), row.result) << row.name;
    }
  }
}

TEST(Hexdump, WritesOffsetHexAndCharacters) {
  std::ostringstream none, five, seventeen;
  ZEVUtility::hexdump(none, ZEVASNCBuffer(), "HEX");
  EXPECT_EQ(none.str(), "HEX\n");
  ZEVUtility::hexdump(five, ZEVASNCBuffer("ab\0\ny", 5), "HEX");
  EXPECT_EQ(five.str(), "HEX\n00000000  61 62 00 0a 79" + std::string(33 + 2, ' ') + "ab..y\n");
  ZEVFastBuffer bytes(17, "0123456789ABCDEF\xff");
  ZEVUtility::hexdump(seventeen, bytes, "L");
  EXPECT_EQ(seventeen.str(),
            "L\n"
            "00000000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  0123456789ABCDEF\n"
            "00000010  ff" +
                std::string(45, ' ') + "  .\n");
}

void hexOf(const char* text) { ZEVUtility::hexStringToBinary(text); }
void base64Of(const char* text) {
  ZEVKRYUtility::decodeData_BASE64(ZEVFastBuffer(std::strlen(text), text), nullptr);
}

TEST(Encodings, MessagesNameTheFault) {
  struct {
    void (*decode)(const char*);
    const char* input;
    const char* message;
  } rows[] = {
      {hexOf, "0a 1x", "hex text has a character that is not a hex digit: 'x' at position 4"},
      {hexOf, "0a1", "hex text has an odd number of digits (3)"},
      {base64Of, "QU!=", "Base64 text has a character that is not Base64: '!' at position 2"},
      {base64Of, "QUJD\nR", "Base64 text has 5 characters, not a multiple of 4"},
      {base64Of, "QQ==QUJD", "Base64 text has padding '=' before its end, at position 2"},
  };
  for (const auto& row : rows) {
    try {
      row.decode(row.input);
      ADD_FAILURE() << row.input;
    } catch (const ZEVException& e) {
      EXPECT_EQ(std::string(e.what()), row.message) << row.input;
      EXPECT_EQ(e.getError(), ZEV_ERR_ENCODING);
    }
  }
  EXPECT_NO_THROW(base64Of(" QU\tJD\n"));
}

// A good PEM block among other text is decoded in zevasn_test.
TEST(Encodings, Base64RoundTripsAndPemNeedsAWholeBlock) {
  for (std::string s :
       {std::string(), std::string("a"), std::string("ab"), std::string("abc\0", 4)}) {
    ZEVString enc = ZEVKRYUtility::encodeData_BASE64(ZEVASNCBuffer(s.data(), s.size()));
    ZEVFastBuffer dec =
        ZEVKRYUtility::decodeData_BASE64(ZEVFastBuffer(enc.length(), enc.c_str()), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dec.getValue()), dec.getLength()), s);
  }
  ZEVFastBuffer out(3, "old");
  ZEVString type("old");
  // No end line, another end line, a damaged body.
  for (std::string pem : {"-----BEGIN X-----\nQUJD\n", "-----BEGIN X-----\nQUJD\n-----END Y-----\n",
                          "-----BEGIN X-----\nQU!D\n-----END X-----\n"}) {
    EXPECT_NE(ZEVUtility::Base64DearmorPemToBuf(out, type, ZEVFastBuffer(pem.size(), pem.data()),
                                                nullptr),
              0)
        << pem;
  }
  EXPECT_EQ(type, "old");
  EXPECT_EQ(out.getLength(), 3u);
}

TEST(String, FindAndCompare) {
  ZEVString s("Cert=ABC;binary");
  EXPECT_EQ(s.find_ignorecase("BINARY", 6), 9u);
  EXPECT_EQ(s.find_ignorecase("abc", 6), ZEVString::npos);
  EXPECT_EQ(s.find_ignorecase("binary!"), ZEVString::npos);
  EXPECT_EQ(s.compare_ignorecase("cert=abc;BINARY"), 0);
  EXPECT_NE(s.compare_ignorecase("cert=abc;binar"), 0);
  EXPECT_EQ(ZEVString(std::string("a\0b", 3)).compare(ZEVString(std::string("a\0b", 3))), 0);
  EXPECT_NE(ZEVString(std::string("a\0b", 3)).compare("a"), 0);
}

TEST(String, GetlineSetsEofAtTheEndOfInput) {
  std::istringstream in("one\ntwo");
  ZEVString line;
  line.getline(in, '\n');
  EXPECT_EQ(line, "one");
  EXPECT_FALSE(in.eof());
  line.getline(in, '\n');
  EXPECT_EQ(line, "two");
  EXPECT_TRUE(in.eof());
  std::istringstream ended("last\n");
  line.getline(ended, '\n');
  EXPECT_FALSE(ended.eof());
  line.getline(ended, '\n');
  EXPECT_TRUE(ended.eof());
  EXPECT_TRUE(line.empty());
}

TEST(FastBuffer, AppendTruncateCopy) {
  ZEVFastBuffer empty;
  ASSERT_NE(empty.getValue(), nullptr);
  EXPECT_EQ(empty.getValue()[0], 0);
  ZEVFastBuffer b(3, "abc");
  b.setSensitiveData();
  for (int i = 0; i < 100; ++i) b.append(static_cast<unsigned char>('0' + i % 10));
  b.append(b.get());  // from itself, across a regrowth
  EXPECT_EQ(b.getLength(), 206u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.getValue()) + 103, 3), "abc");
  ZEVFastBuffer copy(b);
  EXPECT_TRUE(copy.isSensitiveData());
  b.truncate(2);
  b.truncate(5);                                                              // longer: no effect
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.getValue())), "ab");  // NUL follows
  EXPECT_EQ(copy.getLength(), 206u);
  ZEVFastBuffer zeros(2, nullptr);
  EXPECT_EQ(zeros[0] + zeros[1], 0);
}

struct Counted {
  static int alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
  int value = 7;
};
int Counted::alive = 0;

TEST(UniquePtr, ChecksAndOwns) {
  ZEVUniquePtr<Counted> p;
  try {
    (void)p->value;
    ADD_FAILURE();
  } catch (const ZEVException& e) {
    EXPECT_EQ(e.getError(), 571016);
    EXPECT_STREQ(e.what(), "Attempting to use invalid unique object pointer");
  }
  try {
    p = static_cast<Counted*>(nullptr);
    ADD_FAILURE();
  } catch (const ZEVException& e) {
    EXPECT_EQ(e.getError(), 571016);
    EXPECT_STREQ(e.what(), "Attempting to use invalid pointer");
  }
  p = new Counted;
  p = new Counted;  // the first one is deleted
  EXPECT_EQ(Counted::alive, 1);
  Counted* released = p.release();
  EXPECT_FALSE(p.isValid());
  EXPECT_EQ(Counted::alive, 1);
  delete released;
  EXPECT_EQ(Counted::alive, 0);
}

TEST(ConnectInfo, CloneCopiesAndKeepsThePasswordSensitive) {
  ZEVDIRConnectInfo::LDAP info;
  EXPECT_TRUE(info.getUserPassword().isSensitiveData());
  info.setUserPassword(ZEVString("secret"));
  info.setErrorLevel(1);
  std::unique_ptr<ZEVDIRConnectInfo::LDAP> copy(info.clone());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy->getUserPassword().getValue())),
            "secret");
  EXPECT_TRUE(copy->getUserPassword().isSensitiveData());
  EXPECT_EQ(copy->getErrorLevel(), 1);
  EXPECT_TRUE(copy->isKindOf("ZEVDIRConnectInfo::OBJECT"));
  EXPECT_FALSE(copy->isKindOf("ZEVDIRManager"));
}

}  // namespace
