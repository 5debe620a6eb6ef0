// LDAPSearchResults built from a client's search and from LDIF text, and the attribute-map
// helpers.
#include "ldapsearch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/fakeclient.h"

using namespace zev09000003;
using ::testing::ElementsAre;

namespace {

// The values stored under name, as byte strings, in the map's order.
std::vector<std::string> values(LDAPAttributeMap* map, const char* name) {
  std::vector<std::string> out;
  auto range = map->equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    out.emplace_back(reinterpret_cast<const char*>(it->second->getValue()),
                     it->second->getLength());
  }
  return out;
}

std::string nul(const std::string& s) { return s + '\0'; }

// ---------------------------------------------------------------------------------------------
// From a client

class ResultsTest : public fakeclient::ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    lib.addText("o=x", "o", "x");
    make();
    login();
  }
  // Every entry below o=x (the filter matches entries without attributes too).
  int searchAll() {
    return client_->search("o=x", LDAP_SCOPE_ONELEVEL, "(!(cn=no such value))", nullptr, 0);
  }
};

TEST_F(ResultsTest, TextValuesGetATerminatorBinaryValuesAreKeptExactly) {
  const struct {
    const char* attr;
    unsigned char byte;
    bool text;
  } rows[] = {{"nul", 0x00, false},  {"backspace", 0x08, false}, {"tab", 0x09, true},
              {"cr", 0x0D, true},    {"shiftOut", 0x0E, false},  {"us", 0x1F, false},
              {"space", 0x20, true}, {"tilde", 0x7E, true},      {"del", 0x7F, false},
              {"high", 0x80, false}, {"allBits", 0xFF, false}};
  auto value = [](unsigned char byte) { return std::string("a") + static_cast<char>(byte) + "b"; };
  for (const auto& row : rows) lib.addText("cn=v,o=x", row.attr, value(row.byte));
  ASSERT_EQ(1, searchAll());
  LDAPSearchResults results(*client_);
  LDAPAttributeMap* map = results.next();
  for (const auto& row : rows) {
    const std::string v = value(row.byte);
    EXPECT_EQ(row.text, isText(reinterpret_cast<const unsigned char*>(v.data()), 3)) << row.attr;
    EXPECT_THAT(values(map, row.attr), ElementsAre(row.text ? nul(v) : v)) << row.attr;
  }
}

TEST_F(ResultsTest, EntriesKeepServerOrderAndLookupsIgnoreCase) {
  lib.addText("cn=a,o=x", "cn", "a");
  lib.addText("cn=a,o=x", "mail", "one");
  lib.addText("cn=a,o=x", "mail", "two");
  lib.addText("cn=a,o=x", "mail", "three");
  lib.addText("cn=a,o=x", "description", "");
  lib.addText("cn=b,o=x", "cn", "b");
  ASSERT_EQ(2, searchAll());
  LDAPSearchResults results(*client_);
  ASSERT_EQ(2u, results.count());
  LDAPAttributeMap* a = results.next();
  EXPECT_EQ(1u, a->count("DN"));
  EXPECT_STREQ("cn=a,o=x", reinterpret_cast<const char*>(getAttributeValue(a, "Dn")));
  EXPECT_THAT(values(a, "MAIL"), ElementsAre(nul("one"), nul("two"), nul("three")));
  EXPECT_THAT(values(a, "description"), ElementsAre(nul("")));
  LDAPAttributeMap* b = results.next();
  EXPECT_THAT(values(b, "cn"), ElementsAre(nul("b")));
  EXPECT_EQ(nullptr, results.next());
  EXPECT_EQ(nullptr, results.next());
  results.reset();
  EXPECT_EQ(a, results.next());
  results.setIter2end();
  EXPECT_EQ(nullptr, results.next());
  EXPECT_EQ(nullptr, client_->currentEntry());
  for (int i = 0; i < 2; ++i) {  // erase empties the set for good, and may be repeated
    results.erase();
    results.reset();
    EXPECT_EQ(0u, results.count());
    EXPECT_EQ(nullptr, results.next());
  }
}

TEST_F(ResultsTest, MissingDNAndMissingValuesStillGiveAnEntry) {
  lib.addText("cn=a,o=x", "cn", "a");
  lib.addEntry("cn=empty,o=x");
  ASSERT_EQ(2, searchAll());
  lib.script("ldap_get_dn", 0, 1);          // first entry without a DN
  lib.script("ldap_get_values_len", 0, 1);  // its only attribute without values
  LDAPSearchResults results(*client_);
  ASSERT_EQ(2u, results.count());
  EXPECT_TRUE(results.next()->empty());
  LDAPAttributeMap* empty = results.next();
  EXPECT_THAT(values(empty, "dn"), ElementsAre(nul("cn=empty,o=x")));
  EXPECT_EQ(1u, empty->size());
}

// The message of the plain ZEVException (not a ZEVDIRException) that f throws from the given
// line of ldapsearch.
template <class F>
std::string plainFailure(F f, int line) {
  try {
    f();
  } catch (const ZEVDIRException&) {
    return "<ZEVDIRException>";
  } catch (const ZEVException& e) {
    EXPECT_EQ(0, e.getError());
    EXPECT_STREQ("./zuzeder/src/ldapsearch", e.getFile());
    EXPECT_EQ(line, e.getLine());
    EXPECT_STREQ("ZEVException", e.getClassName());
    return e.getMessage().c_str();
  }
  return "<no exception>";
}

TEST_F(ResultsTest, NoEntriesOrNoCountIsAnError) {
  ASSERT_EQ(0, searchAll());
  auto results = [&] { LDAPSearchResults results(*client_); };
  EXPECT_EQ("LDAPSearchResults: zero entries found.", plainFailure(results, 146));
  lib.script("ldap_count_entries", -1, 1);
  lib.script("ldap_get_errno", 82, 1);
  EXPECT_EQ("LDAPSearchResults: Local error", plainFailure(results, 146));
}

// ---------------------------------------------------------------------------------------------
// Attribute-map helpers

TEST(AttributeMap, AddAttributeLengthRules) {
  fakeclient::OwnedMap m;
  addAttribute(&m, "cn", nullptr, 5);
  EXPECT_TRUE(m.empty());
  addAttribute(&m, "cn", "abc", 0);
  addAttribute(&m, "CN", "abc", 2);
  EXPECT_THAT(values(&m, "cn"), ElementsAre(nul("abc"), "ab"));
}

TEST(AttributeMap, RemoveAttribute) {
  fakeclient::OwnedMap m;
  addAttribute(&m, "ou", "sales", 0);
  addAttribute(&m, "ou", "staff", 0);
  addAttribute(&m, "ou", "sales", 0);
  addAttribute(&m, "cn", "a", 0);
  EXPECT_FALSE(removeAttribute(&m, "ou", "marketing"));
  EXPECT_EQ(4u, m.size());
  EXPECT_TRUE(removeAttribute(&m, "OU", "SALES"));  // the first match only
  EXPECT_THAT(values(&m, "ou"), ElementsAre(nul("staff"), nul("sales")));
  EXPECT_TRUE(removeAttribute(&m, "ou", nullptr));
  EXPECT_EQ(0u, m.count("ou"));
  EXPECT_FALSE(removeAttribute(&m, "ou", nullptr));
  EXPECT_EQ(nullptr, getAttributeValue(&m, "ou"));
  EXPECT_EQ(1u, m.size());
}

TEST(AttributeMap, IsTextEdges) {
  EXPECT_TRUE(isText(reinterpret_cast<const unsigned char*>("\x01"), 0));
  EXPECT_TRUE(isText(ZEVString("ab\0", 3)));
  EXPECT_FALSE(isText(ZEVString("ab\0\0", 4)));
  EXPECT_TRUE(isText(ZEVString("")));
  EXPECT_TRUE(isText(ZEVString("line one\r\n\tline two")));
}

// ---------------------------------------------------------------------------------------------
// LDIF

struct LdifCase {
  const char* name;
  std::string input;
  // Each entry written as "name=value|name=value" in map order, values as stored bytes.
  std::vector<std::string> entries;
};

std::string describe(LDAPAttributeMap* map) {
  std::string out;
  for (auto& e : *map) {
    if (!out.empty()) out += "|";
    out += std::string(e.first) + "=" +
           std::string(reinterpret_cast<const char*>(e.second->getValue()), e.second->getLength());
  }
  return out;
}

class LdifCases : public ::testing::TestWithParam<LdifCase> {};

TEST_P(LdifCases, ReadEntries) {
  std::istringstream is(GetParam().input);
  LDAPSearchResults results(is);
  std::vector<std::string> got;
  while (LDAPAttributeMap* map = results.next()) got.push_back(describe(map));
  EXPECT_EQ(GetParam().entries, got);
  EXPECT_EQ(GetParam().entries.size(), results.count());
  EXPECT_TRUE(is.eof());
}

INSTANTIATE_TEST_SUITE_P(
    Ldif, LdifCases,
    ::testing::Values(
        LdifCase{"EmptyStream", "", {}}, LdifCase{"OneLine", "dn: a\n", {"dn=a"}},
        LdifCase{"NoFinalLineFeed", "dn: a", {}},
        LdifCase{"LastLineWithoutFeedDropped", "dn: a\ncn: b", {"dn=a"}},
        LdifCase{"RunsOfEmptyLines", "\n\ndn: a\n\n\n\ndn: b\n\n", {"dn=a", "dn=b"}},
        LdifCase{"GroupKeepsOrder", "cn: x\nCN: y\ncn:\n", {"cn=x|CN=y|cn=" + nul("")}},
        LdifCase{"Trimmed", "cn:  a b  \n", {"cn=a b"}},
        LdifCase{
            "ColonsInValue", "labeledURI: ldap://h:389/o=x\n", {"labeledURI=ldap://h:389/o=x"}},
        LdifCase{"Base64Undecoded", "cn:: YQ==\n", {"cn=: YQ=="}},
        LdifCase{"NameKeepsBlanks", " cn : a\n", {" cn =a"}},
        LdifCase{"CarriageReturnTrimmed", "dn: a\r\ncn: b\r\n", {"cn=b|dn=a"}},
        LdifCase{"VersionIsAnElement", "version: 1\ndn: a\n", {"dn=a|version=1"}}),
    fakeclient::RowName());

TEST(Ldif, MalformedLineIsReportedWithItsNumberAndText) {
  const struct {
    std::string input;
    const char* message;
  } rows[] = {
      {"hello\n", "ldif file is malformed:1:hello"},
      {"dn: a\ncn: a\n\ndn: b\n\nobjectClass\n", "ldif file is malformed:6:objectClass"},
      {"dn: a\n\r\n", "ldif file is malformed:2:\r"},                  // only a carriage return
      {"dn: a\n continued\n", "ldif file is malformed:2: continued"},  // a folded line
  };
  for (const auto& row : rows) {
    std::istringstream is(row.input);
    EXPECT_EQ(row.message, plainFailure([&] { LDAPSearchResults results(is); }, 110));
  }
}

TEST(Ldif, FailedStreamThrowsInsteadOfLooping) {
  std::istringstream is("dn: a\n");
  is.setstate(std::ios::failbit);
  EXPECT_THROW(LDAPSearchResults results(is), ZEVException);
}

}  // namespace
