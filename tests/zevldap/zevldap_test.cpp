// The toolkit's LDAP library on its own: texts of result codes, host forms, OpenLDAP's network
// timeout, the incoming cap and URL searches. The rest is tested through the plug-in.
#include "zevldap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/slapd.h"

namespace {

struct Unbinder {
  void operator()(LDAP* ld) const { zev_ldap_unbind(ld); }
};
typedef std::unique_ptr<LDAP, Unbinder> Session;
typedef std::vector<std::string> Entries;

// The entries of a search result, each as "DN attribute...", read with the session's walking
// functions; frees the result.
Entries walk(LDAP* ld, LDAPMessage* result) {
  Entries entries;
  for (LDAPMessage* e = zev_ldap_first_entry(ld, result); e; e = zev_ldap_next_entry(ld, e)) {
    char* dn = zev_ldap_get_dn(ld, e);
    entries.push_back(dn);
    zev_ldap_memfree(dn);
    BerElement* ber = nullptr;
    for (char* name = zev_ldap_first_attribute(ld, e, &ber); name;
         name = zev_ldap_next_attribute(ld, e, ber)) {
      entries.back() += std::string(" ") + name;
      zev_ldap_memfree(name);
    }
    zev_ldap_ber_free(ber, 0);
  }
  zev_ldap_msgfree(result);
  std::sort(entries.begin(), entries.end());
  return entries;
}

class ZevLdapTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() { server_ = new slapdtest::Server({true, 500, "", ""}); }  // retcode
};

TEST(ZevLdapCodes, ClassicAndOpenLdapFormsHaveTheSameText) {
  const struct {
    int classic, openldap;
    const char* text;
  } rows[] = {{81, -1, "Can't contact LDAP server"},
              {85, -5, "Timed out"},
              {91, -11, "Connect error"},
              {32, 32, "No such object"},
              {49, 49, "Invalid credentials"}};
  for (const auto& row : rows) {
    EXPECT_STREQ(row.text, zev_ldap_err2string(row.classic));
    EXPECT_STREQ(row.text, zev_ldap_err2string(row.openldap));
  }
}

TEST_F(ZevLdapTest, HostFormsOpenTheNamedServerOrAreRefused) {
  const std::string port = std::to_string(server_->port());
  const std::string dead = std::to_string(slapdtest::closedPort());
  const struct {
    std::string host;
    int port;
    bool accepted;
  } rows[] = {
      {"", server_->port(), true},  // a null host is localhost
      {"127.0.0.1", server_->port(), true},
      {"127.0.0.1:" + port, 1, true},                         // the port in the text wins
      {"127.0.0.1:" + dead + " 127.0.0.1:" + port, 0, true},  // a list falls back
      {"LDAP://127.0.0.1:" + port + "/", 0, true},
      {"ldap://127.0.0.1:" + dead + " ldap://127.0.0.1:" + port, 0, true},
      {"ldap://127.0.0.1:" + port + "/cn=Test%20CA,o=Example,c=GB?cACertificate;binary", 0, true},
      {server_->ldapiUri(), 0, true},
      {"http://127.0.0.1:" + port, 0, false},
      {"127.0.0.1:70000", 0, false},
      {"host/name", 0, false},
      {"127.0.0.1", -1, false},
      {"ldap://[::1", 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host + " port " + std::to_string(row.port));
    Session ld(zev_ldap_init(row.host.empty() ? nullptr : row.host.c_str(), row.port));
    ASSERT_EQ(row.accepted, ld != nullptr);
    if (!row.accepted) continue;
    EXPECT_EQ(0, zev_ldap_simple_bind_s(ld.get(), nullptr, nullptr));
  }
}

// The toolkit's option 70 is tested through the plug-in; the dynamic manager uses OpenLDAP's.
TEST(ZevLdapSilentServer, NetworkTimeoutBoundsTheBind) {
  slapdtest::SilentListener silent;
  Session ld(zev_ldap_init(silent.uri().c_str(), 0));
  timeval connect = {1, 0};
  ASSERT_EQ(0, zev_ldap_set_option(ld.get(), 20485, &connect));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(85, zev_ldap_simple_bind_s(ld.get(), "cn=x", "y"));
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took.count(), 0.9);
  EXPECT_LT(took.count(), 2.5);
}

// The CA entry's answer is about 2 KB. An unreadable cap keeps the default; a message beyond
// the cap makes the library drop the connection (81).
TEST_F(ZevLdapTest, IncomingCapFromTheEnvironment) {
  for (const char* cap : {"", "lots", "65536", "512"}) {
    SCOPED_TRACE(cap);
    testsupport::setEnv("ZEV_LDAP_MAX_INCOMING", cap);
    if (*cap == '\0') testsupport::unsetEnv("ZEV_LDAP_MAX_INCOMING");
    Session ld(zev_ldap_init(server_->uri().c_str(), 0));
    testsupport::unsetEnv("ZEV_LDAP_MAX_INCOMING");
    LDAPMessage* result = nullptr;
    EXPECT_EQ(std::string(cap) == "512" ? 81 : 0,
              zev_ldap_search_st(ld.get(), "cn=Test CA,o=Example,c=GB", LDAP_SCOPE_BASE, nullptr,
                                 nullptr, 0, nullptr, &result));
    zev_ldap_msgfree(result);
  }
}

TEST_F(ZevLdapTest, UrlSearchUsesTheUrlsServerBaseScopeFilterAndAttributes) {
  // The caller's session points at a closed port: only the URL's server can answer.
  Session ld(zev_ldap_init("127.0.0.1", slapdtest::closedPort()));
  const std::string uri = server_->uri();
  const struct {
    std::string url;
    int rc;
    Entries entries;
  } rows[] = {
      {uri + "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary",
       0,
       {"cn=Test CA,o=Example,c=GB certificateRevocationList"}},
      {uri + "/ou=people,o=Example,c=GB?cn?sub?(cn=User%20T*)",
       0,
       {"cn=User Three,ou=people,o=Example,c=GB cn", "cn=User Two,ou=people,o=Example,c=GB cn"}},
      {uri + "/o=Example,c=GB" + std::string(4, '?') + "!x-unknown=1", 92, {}},  // critical
      {uri + "/cn=missing,o=Example,c=GB", 32, {}},
      {"ldap://127.0.0.1:" + std::to_string(slapdtest::closedPort()) + "/o=x", 81, {}},
      {uri + "/cn=slow,ou=RetCodes,o=Example,c=GB", 85, {}},  // beyond the 1 s limit
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    LDAPMessage* result = nullptr;
    timeval limit = {1, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(row.rc, zev_ldap_url_search_st(ld.get(), row.url.c_str(), 0, &limit, &result));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);
    EXPECT_EQ(row.rc, zev_ldap_get_errno(ld.get()));
    EXPECT_EQ(row.entries, walk(ld.get(), result));  // the URL's connection is gone
  }
}

}  // namespace
