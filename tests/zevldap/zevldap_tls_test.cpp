// The toolkit's LDAP library over ldaps://, with the trust settings OpenLDAP reads from the
// environment (LDAPTLS_CACERT). OpenLDAP reads them once, at its first use in the process, so
// this binary sets them before its first LDAP call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/slapd.h"
#include "zevldap.h"

namespace {

struct Unbinder {
  void operator()(LDAP* ld) const { zev_ldap_unbind(ld); }
};
typedef std::unique_ptr<LDAP, Unbinder> Session;

// OpenLDAP's option numbers for a session's own trust anchor and a fresh TLS context.
constexpr int kTlsCaCertFile = 0x6002;
constexpr int kTlsNewContext = 0x600f;

class ZevLdapTls : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() {
    const testpki::Material& pki = testpki::get();
    unsetenv("LDAPNOINIT");
    setenv("LDAPTLS_CACERT", pki.path("ca.pem").c_str(), 1);
    setenv("LDAPTLS_REQCERT", "demand", 1);
    slapdtest::Options options;
    options.ldapsCert = pki.path("server.pem");
    options.ldapsKey = pki.path("server.key");
    server_ = new slapdtest::Server(options);
  }
};

TEST_F(ZevLdapTls, UrlSearchOverLdaps) {
  Session ld(zev_ldap_init(nullptr, slapdtest::closedPort()));
  ASSERT_NE(nullptr, ld);
  std::string url = server_->ldapsUri() + "/cn=Test%20CA,o=Example,c=GB?cACertificate;binary";
  LDAPMessage* result = nullptr;
  ASSERT_EQ(0, zev_ldap_url_search_st(ld.get(), url.c_str(), 0, nullptr, &result));
  EXPECT_EQ(1, zev_ldap_count_entries(ld.get(), result));
  zev_ldap_msgfree(result);
}

// With another CA as the only trust anchor the server's certificate is refused: the session
// cannot reach the server (81), and nothing is sent in clear text. (A bind and search over
// ldaps:// with the test CA trusted is tested through the plug-in, in tests/slapd.)
TEST_F(ZevLdapTls, UntrustedServerCertificateIsRefused) {
  Session ld(zev_ldap_init(server_->ldapsUri().c_str(), 0));
  ASSERT_NE(nullptr, ld);
  std::string other = testpki::get().path("other.pem");
  ASSERT_EQ(0, zev_ldap_set_option(ld.get(), kTlsCaCertFile, other.c_str()));
  int zero = 0;
  ASSERT_EQ(0, zev_ldap_set_option(ld.get(), kTlsNewContext, &zero));
  EXPECT_EQ(81, zev_ldap_simple_bind_s(ld.get(), server_->adminDN().c_str(),
                                       server_->adminPassword().c_str()));
}

}  // namespace
