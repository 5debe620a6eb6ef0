// The toolkit's LDAP library against a throwaway slapd, a listener that never answers and a
// port nobody listens on: classic result codes, host forms, bounded waits, the incoming cap and
// URL searches. Binds, reading stored values, entry modification, slow searches and a restart
// under a live session are tested through the plug-in on this library's road (tests/slapd).
#include "zevldap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/slapd.h"

namespace {

struct Unbinder {
  void operator()(LDAP* ld) const { zev_ldap_unbind(ld); }
};
typedef std::unique_ptr<LDAP, Unbinder> Session;

struct MessageFreer {
  void operator()(LDAPMessage* msg) const { zev_ldap_msgfree(msg); }
};
typedef std::unique_ptr<LDAPMessage, MessageFreer> Message;

typedef std::vector<std::string> Values;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One entry of a result, read with the walking functions of the caller's session.
struct Entry {
  std::string dn;
  std::vector<std::pair<std::string, Values>> attributes;
  Values values(const std::string& name) const {
    for (const auto& attribute : attributes) {
      if (strcasecmp(attribute.first.c_str(), name.c_str()) == 0) return attribute.second;
    }
    return Values();
  }
};

std::vector<Entry> walk(LDAP* ld, LDAPMessage* result) {
  std::vector<Entry> entries;
  for (LDAPMessage* e = zev_ldap_first_entry(ld, result); e; e = zev_ldap_next_entry(ld, e)) {
    Entry entry;
    char* dn = zev_ldap_get_dn(ld, e);
    entry.dn = dn != nullptr ? dn : "";
    zev_ldap_memfree(dn);
    BerElement* ber = nullptr;
    for (char* name = zev_ldap_first_attribute(ld, e, &ber); name;
         name = zev_ldap_next_attribute(ld, e, ber)) {
      Values values;
      struct berval** bvs = zev_ldap_get_values_len(ld, e, name);
      for (int i = 0; bvs != nullptr && bvs[i] != nullptr; ++i) {
        values.emplace_back(bvs[i]->bv_val, bvs[i]->bv_len);
      }
      zev_ldap_value_free_len(bvs);
      entry.attributes.emplace_back(name, values);
      zev_ldap_memfree(name);
    }
    zev_ldap_ber_free(ber, 0);
    entries.push_back(entry);
  }
  return entries;
}

class ZevLdapTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    slapdtest::Options options;
    options.retcode = true;
    options.sizelimit = 5;  // ou=people (4 entries) fits, the whole tree (14) does not
    server_ = new slapdtest::Server(options);
  }

  static Session open(const std::string& host, int port = 0) {
    return Session(zev_ldap_init(host.c_str(), port));
  }
  // Base search of one entry; the result code goes to *rc.
  static std::vector<Entry> read(LDAP* ld, const std::string& dn, int* rc) {
    LDAPMessage* raw = nullptr;
    *rc = zev_ldap_search_st(ld, dn.c_str(), LDAP_SCOPE_BASE, nullptr, nullptr, 0, nullptr, &raw);
    Message result(raw);
    return walk(ld, result.get());
  }
};

// ---- result codes ------------------------------------------------------------------------

struct CodeRow {
  const char* name;
  int classic;
  int openldap;
  const char* text;
};

const CodeRow kCodes[] = {
    {"ServerDown", 81, -1, "Can't contact LDAP server"},
    {"LocalError", 82, -2, "Local error"},
    {"Timeout", 85, -5, "Timed out"},
    {"ParamError", 89, -9, "Bad parameter to an ldap routine"},
    {"ConnectError", 91, -11, "Connect error"},
    {"ClientLoop", 96, -16, "Client Loop"},
    {"NoSuchObject", 32, 32, "No such object"},
    {"InvalidCredentials", 49, 49, "Invalid credentials"},
};

TEST(ZevLdapCodes, TextIsTheSameForClassicAndOpenLdapForms) {
  for (const CodeRow& row : kCodes) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(row.text, zev_ldap_err2string(row.classic));
    EXPECT_STREQ(row.text, zev_ldap_err2string(row.openldap));
  }
}

TEST(ZevLdapCodes, DeadServerIsReportedAs81InEveryPlace) {
  Session ld(zev_ldap_init("127.0.0.1", slapdtest::closedPort()));
  ASSERT_NE(nullptr, ld);
  EXPECT_EQ(81, zev_ldap_simple_bind_s(ld.get(), nullptr, nullptr));
  EXPECT_EQ(81, zev_ldap_get_errno(ld.get()));
  LDAPMessage* raw = nullptr;
  EXPECT_EQ(81,
            zev_ldap_search_st(ld.get(), "", LDAP_SCOPE_BASE, nullptr, nullptr, 0, nullptr, &raw));
  Message result(raw);
}

TEST(ZevLdapCodes, NullArgumentsAreParameterErrorsNotCrashes) {
  LDAPMessage* raw = reinterpret_cast<LDAPMessage*>(1);
  timeval tv = {1, 0};
  EXPECT_EQ(89, zev_ldap_simple_bind_s(nullptr, "cn=x", "y"));
  EXPECT_EQ(89, zev_ldap_search_st(nullptr, "", 0, nullptr, nullptr, 0, &tv, &raw));
  EXPECT_EQ(nullptr, raw);
  EXPECT_EQ(89, zev_ldap_url_search_st(nullptr, nullptr, 0, nullptr, &raw));
  EXPECT_EQ(89, zev_ldap_url_search_st(nullptr, "ldap:///o=Example,c=GB", 0, nullptr, &raw));
  EXPECT_EQ(89, zev_ldap_add_s(nullptr, "cn=x", nullptr));
  EXPECT_EQ(89, zev_ldap_modify_s(nullptr, "cn=x", nullptr));
  EXPECT_EQ(89, zev_ldap_delete_s(nullptr, "cn=x"));
  EXPECT_EQ(89, zev_ldap_modrdn_s(nullptr, "cn=x", "cn=y", 1));
  EXPECT_EQ(89, zev_ldap_unbind(nullptr));
  EXPECT_EQ(89, zev_ldap_get_errno(nullptr));
  EXPECT_EQ(-1, zev_ldap_count_entries(nullptr, nullptr));
  EXPECT_EQ(nullptr, zev_ldap_first_entry(nullptr, nullptr));
  EXPECT_EQ(nullptr, zev_ldap_get_dn(nullptr, nullptr));
  BerElement* ber = reinterpret_cast<BerElement*>(1);
  EXPECT_EQ(nullptr, zev_ldap_first_attribute(nullptr, nullptr, &ber));
  EXPECT_EQ(nullptr, ber);
  EXPECT_EQ(nullptr, zev_ldap_get_values_len(nullptr, nullptr, "cn"));
  LDAPURLDesc* description = reinterpret_cast<LDAPURLDesc*>(1);
  EXPECT_NE(0, zev_ldap_url_parse(nullptr, &description));
  EXPECT_EQ(nullptr, description);
  EXPECT_NE(0, zev_ldap_url_parse("not a url", &description));
  EXPECT_EQ(nullptr, description);
  zev_ldap_free_urldesc(nullptr);
  Session ld(zev_ldap_init(nullptr, 0));
  ASSERT_NE(nullptr, ld);
  EXPECT_EQ(89, zev_ldap_set_option(ld.get(), 70, nullptr));
  timeval negative = {-1, 0};
  EXPECT_EQ(89, zev_ldap_set_option(ld.get(), 70, &negative));
  EXPECT_EQ(89, zev_ldap_search_st(ld.get(), "", 0, nullptr, nullptr, 0, &negative, &raw));
}

// ---- host forms --------------------------------------------------------------------------

struct HostRow {
  const char* name;
  std::string host;  // $PORT, $DEAD (a closed port) and $LDAPI are filled in
  int port;          // -1: the server's port
  bool accepted;
};

std::string fill(std::string text, int port, int dead, const std::string& ldapi) {
  const std::pair<std::string, std::string> values[] = {
      {"$PORT", std::to_string(port)}, {"$DEAD", std::to_string(dead)}, {"$LDAPI", ldapi}};
  for (const auto& v : values) {
    for (size_t at; (at = text.find(v.first)) != std::string::npos;) {
      text.replace(at, v.first.size(), v.second);
    }
  }
  return text;
}

const HostRow kHosts[] = {
    {"NullHostIsLocalhost", "(null)", -1, true},
    {"BlankHostIsLocalhost", "  ", -1, true},
    {"Name", "127.0.0.1", -1, true},
    {"NameWithPort", "127.0.0.1:$PORT", 0, true},
    {"PortInTextWinsOverArgument", "127.0.0.1:$PORT", 1, true},
    {"LocalhostName", "localhost:$PORT", 0, true},
    {"ListFallsBackToSecond", "127.0.0.1:$DEAD 127.0.0.1:$PORT", 0, true},
    {"LdapUri", "ldap://127.0.0.1:$PORT", 0, true},
    {"LdapUriUpperCaseScheme", "LDAP://127.0.0.1:$PORT/", 0, true},
    {"UriList", "ldap://127.0.0.1:$DEAD ldap://127.0.0.1:$PORT", 0, true},
    {"UrlWithDnPart", "ldap://127.0.0.1:$PORT/cn=Test%20CA,o=Example,c=GB?cACertificate;binary", 0,
     true},
    {"LdapiUri", "$LDAPI", 0, true},
    {"UnknownScheme", "http://127.0.0.1:$PORT", 0, false},
    {"PortTooBig", "127.0.0.1:70000", 0, false},
    {"PortNotNumber", "127.0.0.1:ldap", 0, false},
    {"SlashInName", "host/name", 0, false},
    {"NegativePortArgument", "127.0.0.1", -2, false},
    {"BrokenBracket", "[::1", 0, false},
    {"BrokenUri", "ldap://[::1", 0, false},
};

class ZevLdapHosts : public ZevLdapTest, public ::testing::WithParamInterface<HostRow> {};

TEST_P(ZevLdapHosts, OpensTheNamedServerOrRefusesTheText) {
  const HostRow& row = GetParam();
  std::string host = fill(row.host, server_->port(), slapdtest::closedPort(), server_->ldapiUri());
  int port = row.port == -1 ? server_->port() : row.port == -2 ? -1 : row.port;
  Session ld(zev_ldap_init(host == "(null)" ? nullptr : host.c_str(), port));
  if (!row.accepted) {
    EXPECT_EQ(nullptr, ld) << host;
    return;
  }
  ASSERT_NE(nullptr, ld) << host;
  int rc = -1;
  std::vector<Entry> entries = read(ld.get(), "cn=Test CA,o=Example,c=GB", &rc);
  EXPECT_EQ(0, rc) << host << ": " << zev_ldap_err2string(rc);
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("cn=Test CA,o=Example,c=GB", entries[0].dn);
}

INSTANTIATE_TEST_SUITE_P(Forms, ZevLdapHosts, ::testing::ValuesIn(kHosts),
                         [](const ::testing::TestParamInfo<HostRow>& info) {
                           return std::string(info.param.name);
                         });

// ---- timeouts: a server that accepts and never answers -----------------------------------

TEST(ZevLdapSilentServer, BindFailsWithinTheConnectTimeout) {
  slapdtest::SilentListener silent;
  for (int option : {70, 20485}) {  // the toolkit's own option, OpenLDAP's network timeout
    SCOPED_TRACE(option);
    Session ld(zev_ldap_init(silent.uri().c_str(), 0));
    ASSERT_NE(nullptr, ld);
    timeval connect = {1, 0};
    ASSERT_EQ(0, zev_ldap_set_option(ld.get(), option, &connect));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(85, zev_ldap_simple_bind_s(ld.get(), "cn=x", "y"));
    double took = secondsSince(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(85, zev_ldap_get_errno(ld.get()));
  }
}

// ---- against slapd -----------------------------------------------------------------------

TEST_F(ZevLdapTest, SubtreeBeyondTheSizeLimitGives4WithTheEntriesSoFar) {
  Session ld = open(server_->uri());  // anonymous: the limit holds
  LDAPMessage* raw = nullptr;
  EXPECT_EQ(LDAP_SIZELIMIT_EXCEEDED,
            zev_ldap_search_st(ld.get(), "o=Example,c=GB", LDAP_SCOPE_SUBTREE, nullptr, nullptr, 0,
                               nullptr, &raw));
  Message result(raw);
  EXPECT_EQ(5, zev_ldap_count_entries(ld.get(), result.get()));
}

TEST_F(ZevLdapTest, ValueBeyondTheIncomingCapIsAnErrorNotAnAllocation) {
  Session admin = open(server_->uri());
  ASSERT_EQ(0, zev_ldap_simple_bind_s(admin.get(), server_->adminDN().c_str(),
                                      server_->adminPassword().c_str()));
  std::string big(300 * 1024, 'x');
  struct berval value = {big.size(), &big[0]};
  struct berval* values[] = {&value, nullptr};
  char cn[] = "cn", objectClass[] = "objectClass", description[] = "description";
  char name[] = "Big Value", role[] = "organizationalRole";
  char *names[] = {name, nullptr}, *roles[] = {role, nullptr};
  LDAPMod modCn = {LDAP_MOD_ADD, cn, {names}, nullptr};
  LDAPMod modClass = {LDAP_MOD_ADD, objectClass, {roles}, nullptr};
  LDAPMod modBig = {LDAP_MOD_ADD | LDAP_MOD_BVALUES, description, {nullptr}, nullptr};
  modBig.mod_bvalues = values;
  LDAPMod* mods[] = {&modCn, &modClass, &modBig, nullptr};
  const std::string dn = "cn=Big Value,o=Example,c=GB";
  ASSERT_EQ(0, zev_ldap_add_s(admin.get(), dn.c_str(), mods));

  struct Row {
    const char* name;
    const char* cap;  // ZEV_LDAP_MAX_INCOMING, null: unset
    bool fits;
  } rows[] = {
      {"DefaultCap", nullptr, true},
      {"CapBelowTheValue", "65536", false},
      {"CapAboveTheValue", "1048576", true},
      {"UnreadableCapKeepsTheDefault", "lots", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.cap != nullptr) setenv("ZEV_LDAP_MAX_INCOMING", row.cap, 1);
    Session ld = open(server_->uri());
    unsetenv("ZEV_LDAP_MAX_INCOMING");
    int rc = -1;
    std::vector<Entry> entries = read(ld.get(), dn, &rc);
    if (row.fits) {
      EXPECT_EQ(0, rc);
      ASSERT_EQ(1u, entries.size());
      EXPECT_EQ(Values{big}, entries[0].values("description"));
    } else {
      // OpenLDAP drops the connection when a message is too big: the session is dead (81).
      EXPECT_EQ(81, rc);
      EXPECT_TRUE(entries.empty());
    }
  }
  EXPECT_EQ(0, zev_ldap_delete_s(admin.get(), dn.c_str()));
}

// ---- URL searches ------------------------------------------------------------------------

TEST_F(ZevLdapTest, UrlSearchUsesTheUrlsServerBaseScopeFilterAndAttributes) {
  // The caller's session points at a port nobody listens on: only the URL's server can answer.
  Session ld(zev_ldap_init("127.0.0.1", slapdtest::closedPort()));
  ASSERT_NE(nullptr, ld);
  struct Row {
    const char* name;
    std::string url;
    int expected;
    std::vector<std::string> dns = {};
    const char* attribute = nullptr;  // the only attribute expected in each entry
  } rows[] = {
      {"BaseWithAttribute",
       server_->uri() + "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary",
       0,
       {"cn=Test CA,o=Example,c=GB"},
       "certificateRevocationList"},
      {"SubtreeWithFilter",
       server_->uri() + "/ou=people,o=Example,c=GB?cn?sub?(cn=User%20T*)",
       0,
       {"cn=User Three,ou=people,o=Example,c=GB", "cn=User Two,ou=people,o=Example,c=GB"},
       "cn"},
      {"OneLevel",
       server_->uri() + "/o=Example,c=GB?ou?one?(objectClass=organizationalUnit)",
       0,
       {"ou=RetCodes,o=Example,c=GB", "ou=encodings,o=Example,c=GB", "ou=people,o=Example,c=GB"},
       "ou"},
      {"NotAnLdapUrl", "http://127.0.0.1/", 89},
      {"Garbage", "ldap://[::1", 89},
      {"CriticalExtension",
       server_->uri() + "/o=Example,c=GB" + std::string(4, '?') + "!x-unknown=1", 92},
      {"MissingEntry", server_->uri() + "/cn=missing,o=Example,c=GB", 32},
      {"DeadServer", "ldap://127.0.0.1:" + std::to_string(slapdtest::closedPort()) + "/o=x", 81},
      {"SlowSearch", server_->uri() + "/cn=slow,ou=RetCodes,o=Example,c=GB", 85},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LDAPMessage* raw = nullptr;
    timeval limit = {1, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(row.expected, zev_ldap_url_search_st(ld.get(), row.url.c_str(), 0, &limit, &raw));
    Message result(raw);
    EXPECT_LT(secondsSince(start), 2.5);
    EXPECT_EQ(row.expected, zev_ldap_get_errno(ld.get()));
    EXPECT_EQ(static_cast<int>(row.dns.size()), zev_ldap_count_entries(ld.get(), result.get()));
    std::vector<Entry> entries = walk(ld.get(), result.get());  // the side connection is gone
    ASSERT_EQ(row.dns.size(), entries.size());
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.dn < b.dn; });
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(row.dns[i], entries[i].dn);
      ASSERT_EQ(1u, entries[i].attributes.size());
      EXPECT_EQ(row.attribute, entries[i].attributes[0].first);
    }
  }
}

}  // namespace
