// The toolkit's LDAP library on its own: texts of result codes, host forms, OpenLDAP's network
// timeout, the incoming cap, URL searches, and what production directories need (TLS and
// StartTLS, paging, referrals, the server's words). The rest is tested through the plug-in.
#include "zevldap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/hostile.h"
#include "support/slapd.h"
#include "zevtrace.h"

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
  static void SetUpTestSuite() { server_ = new slapdtest::Server(retcodeOptions()); }
  static slapdtest::Options retcodeOptions() {
    slapdtest::Options o;
    o.retcode = true;
    return o;
  }
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
#if !defined(_WIN32)
      {server_->ldapiUri(), 0, true},  // slapd's Unix socket, out of a Windows program's reach
#endif
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
// the cap is refused with its own code and a text that says how to raise the cap, on the
// session too (a caller that asks the session must not see "server down" and retry).
TEST_F(ZevLdapTest, IncomingCapFromTheEnvironment) {
  for (const char* cap : {"", "lots", "65536", "512"}) {
    SCOPED_TRACE(cap);
    testsupport::setEnv("ZEV_LDAP_MAX_INCOMING", cap);
    if (*cap == '\0') testsupport::unsetEnv("ZEV_LDAP_MAX_INCOMING");
    Session ld(zev_ldap_init(server_->uri().c_str(), 0));
    testsupport::unsetEnv("ZEV_LDAP_MAX_INCOMING");
    LDAPMessage* result = nullptr;
    const int want = std::string(cap) == "512" ? ZEV_LDAP_INCOMING_TOO_LARGE : 0;
    EXPECT_EQ(want, zev_ldap_search_st(ld.get(), "cn=Test CA,o=Example,c=GB", LDAP_SCOPE_BASE,
                                       nullptr, nullptr, 0, nullptr, &result));
    EXPECT_EQ(want, zev_ldap_get_errno(ld.get()));
    zev_ldap_msgfree(result);
    if (want == 0) continue;
    const std::string text = zev_ldap_err2string(want);
    EXPECT_NE(std::string::npos, text.find(" bytes is over the cap of 512 bytes")) << text;
    EXPECT_NE(std::string::npos, text.find("raise ZEV_LDAP_MAX_INCOMING")) << text;
  }
}

// Answers to a search that OpenLDAP refuses all alike as "server down" are told apart (a
// header over the cap, one that no LDAP message has), and a server that stops in the middle
// of a message costs the time limit, not a read that never returns.
TEST(ZevLdapHostileServer, RefusedAnswersGetTheirOwnCodes) {
  using slapdtest::HostileServer;
  const int kDecodingError = 84;
  const std::string entry = HostileServer::largeEntry() + HostileServer::searchDone();
  const struct {
    const char* name;
    std::string answer;
    int rc;
  } rows[] = {
      {"OCTET STRING", HostileServer::tlv(0x04, "abc"), kDecodingError},
      {"zero length", std::string("\x30\x00", 2), kDecodingError},
      {"indefinite length", std::string("\x30\x80\x02\x01\x02\x00\x00", 7), kDecodingError},
      {"tag beyond 8 bytes", std::string(9, '\xff') + "\x01\x00", kDecodingError},
      {"5 length bytes, small", std::string("\x30\x85\x00\x00\x00\x00\x03\x02\x01\x02", 10),
       kDecodingError},
      {"2 GiB", std::string("\x30\x84\x80\x00\x00\x00", 6), ZEV_LDAP_INCOMING_TOO_LARGE},
      {"another tag, 2 GiB", std::string("\x3f\x81\x01\x84\x80\x00\x00\x00", 8),
       ZEV_LDAP_INCOMING_TOO_LARGE},
      // OpenLDAP's blocking read would wait for the rest for ever; the time limit ends it.
      {"entry, then silence mid-message", entry.substr(0, entry.size() - 10), 85},
      {"entry and end", entry, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostileServer server(slapdtest::Delivery::kWhole, row.answer);
    Session ld(zev_ldap_init(("ldap://127.0.0.1:" + std::to_string(server.port())).c_str(), 0));
    timeval limit = {2, 0};
    ASSERT_EQ(0, zev_ldap_set_option(ld.get(), 20485, &limit));
    ASSERT_EQ(0, zev_ldap_simple_bind_s(ld.get(), nullptr, nullptr));
    LDAPMessage* result = nullptr;
    EXPECT_EQ(row.rc, zev_ldap_search_st(ld.get(), "", LDAP_SCOPE_BASE, nullptr, nullptr, 0, &limit,
                                         &result));
    EXPECT_EQ(row.rc, zev_ldap_get_errno(ld.get()));
    EXPECT_EQ(row.rc == 0 ? Entries{"cn=Hostile description"} : Entries(), walk(ld.get(), result));
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

namespace {

using zev09000003::ZEVMemoryTraceSink;
using zev09000003::ZEVTrace;

// A production-like directory (TLS, a size limit of five that paging may pass, a subtree that
// needs a bind, referrals); the trust anchor is the test CA unless a test changes it.
class ZevLdapProductionTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() { server_ = new slapdtest::Server(slapdtest::production()); }
  void SetUp() override { trustOnly("ca.pem"); }
  static void trustOnly(const std::string& file) {
    ASSERT_EQ(0, zev_ldap_set_option(nullptr, 0x6002, testpki::get().path(file).c_str()));
  }
  static std::string plain(const std::string& host) {
    return "ldap://" + host + ":" + std::to_string(server_->port());
  }
  static std::string ldaps(const std::string& host) {
    std::string uri = server_->ldapsUri();
    return "ldaps://" + host + uri.substr(uri.rfind(':'));
  }
};

// The text of the session's last failure, as a caller builds its message.
std::string failureText(LDAP* ld) { return zev_ldap_err2string(zev_ldap_get_errno(ld)); }

TEST_F(ZevLdapProductionTest, TlsVerifiesTheServerAndNamesWhatFailed) {
  slapdtest::Server plainServer;  // no TLS at all
  const std::string noTls = "ldap://127.0.0.1:" + std::to_string(plainServer.port());
  const struct {
    std::string host, anchor;
    int rc;
    std::string text;
  } rows[] = {
      {ldaps("127.0.0.1"), "ca.pem", 0, ""},
      {ldaps("127.0.0.1"), "other.pem", 112, "TLS failure: certificate verify failed: "},
      {ldaps("localhost"), "ca.pem", 112,
       "TLS failure: certificate verify failed: hostname mismatch"},
      {plain("127.0.0.1") + "/????StartTLS", "ca.pem", 0, ""},
      {plain("127.0.0.1") + "/????"
                            "!StartTLS",
       "ca.pem", 0, ""},
      {plain("127.0.0.1") + "/????"
                            "!1.3.6.1.4.1.1466.20037",
       "other.pem", 112, "TLS failure: StartTLS handshake failed: certificate verify failed: "},
      {noTls + "/????StartTLS", "ca.pem", 0, ""},  // refused: goes on in the clear
      {noTls + "/????"
               "!StartTLS",
       "ca.pem", 112, "TLS failure: StartTLS is required and the server refused it"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host + " trusting " + row.anchor);
    trustOnly(row.anchor);
    Session ld(zev_ldap_init(row.host.c_str(), 0));
    ASSERT_NE(nullptr, ld);
    EXPECT_EQ(row.rc, zev_ldap_simple_bind_s(ld.get(), nullptr, nullptr));
    if (row.rc != 0) {
      EXPECT_THAT(failureText(ld.get()), ::testing::StartsWith(row.text));
    }
  }
  EXPECT_EQ(nullptr, zev_ldap_init((plain("localhost") + "/????"
                                                         "!x-unknown")
                                       .c_str(),
                                   0));
  EXPECT_EQ(89, zev_ldap_set_option(nullptr, 0x6002, "/nonexistent/ca.pem"));
}

// ou=people holds seven holders of user certificates; the server sends five per request.
TEST_F(ZevLdapProductionTest, PagingFetchesEveryEntryAndACutAnswerSaysSo) {
  const struct {
    int pageSize, rc;
    size_t entries;
    std::string text;
  } rows[] = {{500, 0, 7, ""},
              {2, 0, 7, ""},  // four pages
              {0, 4, 5, "Size limit exceeded: 5 entries arrived; the answer is incomplete"}};
  for (const auto& row : rows) {
    SCOPED_TRACE("page size " + std::to_string(row.pageSize));
    Session ld(zev_ldap_init(server_->uri().c_str(), 0));
    ASSERT_EQ(0, zev_ldap_set_option(ld.get(), 0x7A01, &row.pageSize));
    LDAPMessage* result = nullptr;
    EXPECT_EQ(row.rc, zev_ldap_search_st(ld.get(), "ou=people,o=Example,c=GB", LDAP_SCOPE_SUBTREE,
                                         "(userCertificate=*)", nullptr, 0, nullptr, &result));
    if (row.rc != 0) {
      EXPECT_EQ(row.text, failureText(ld.get()));
    }
    EXPECT_EQ(static_cast<int>(row.entries), zev_ldap_count_entries(ld.get(), result));
    EXPECT_EQ(row.entries, walk(ld.get(), result).size());
  }
}

// A server that lists the control but refuses it gets a plain search, cut at its limit.
TEST_F(ZevLdapProductionTest, RefusedPagingFallsBackToAPlainSearch) {
  slapdtest::Options options = slapdtest::production();
  options.ldapsCert.clear();
  for (const char* refusal : {"size.prtotal=disabled", "size.pr=3 size.prtotal=unlimited"}) {
    SCOPED_TRACE(refusal);
    options.sizelimitWords = std::string("size.soft=5 size.hard=5 ") + refusal;
    slapdtest::Server refusing(options);
    auto sink = std::make_shared<ZEVMemoryTraceSink>();
    ZEVTrace::globalTrace().setSink(sink);
    ZEVTrace::globalTrace().setLevel(1);
    Session ld(zev_ldap_init(refusing.uri().c_str(), 0));
    LDAPMessage* result = nullptr;
    EXPECT_EQ(4, zev_ldap_search_st(ld.get(), "ou=people,o=Example,c=GB", LDAP_SCOPE_SUBTREE,
                                    "(userCertificate=*)", nullptr, 0, nullptr, &result));
    EXPECT_EQ("Size limit exceeded: 5 entries arrived; the answer is incomplete",
              failureText(ld.get()));
    EXPECT_EQ(5u, walk(ld.get(), result).size());
    ZEVTrace::globalTrace().setSink(nullptr);
    EXPECT_THAT(sink->texts(512, 1),
                ::testing::ElementsAre(::testing::StartsWith("the server refused paged results"),
                                       ::testing::StartsWith("search \"ou=people")));
  }
}

// A referral is refused (its text and the trace of a continuation reference are checked
// through the plug-in), a reference is not an entry, and a missing entry names the part of
// its DN that matched.
TEST_F(ZevLdapProductionTest, ReferralsReferencesAndMatchedNames) {
  Session ld(zev_ldap_init(server_->uri().c_str(), 0));
  ASSERT_EQ(0, zev_ldap_simple_bind_s(ld.get(), server_->adminDN().c_str(),
                                      server_->adminPassword().c_str()));
  LDAPMessage* result = nullptr;
  EXPECT_EQ(10, zev_ldap_search_st(ld.get(), "cn=Moved,o=Example,c=GB", LDAP_SCOPE_BASE, nullptr,
                                   nullptr, 0, nullptr, &result));
  zev_ldap_msgfree(result);
  EXPECT_EQ(0, zev_ldap_search_st(ld.get(), "ou=branches,o=Example,c=GB", LDAP_SCOPE_SUBTREE,
                                  nullptr, nullptr, 0, nullptr, &result));
  EXPECT_EQ(2u, walk(ld.get(), result).size());  // the branch and its local entry
  EXPECT_EQ(32, zev_ldap_search_st(ld.get(), "cn=x,ou=none,o=Example,c=GB", LDAP_SCOPE_BASE,
                                   nullptr, nullptr, 0, nullptr, &result));
  zev_ldap_msgfree(result);
  EXPECT_EQ("No such object: matched DN \"o=Example,c=GB\"", failureText(ld.get()));
}

// The private subtree is readable only after a bind: a URL naming the bound session's server
// is searched with that login, one naming another server (here: the same one by another
// name) on a fresh anonymous connection, which cannot see the entry.
TEST_F(ZevLdapProductionTest, UrlSearchOnTheBoundServerKeepsTheLogin) {
  const std::string path = "/cn=Private%20CA,ou=private,o=Example,c=GB?cn";
  const struct {
    std::string session, url;
    bool bind;
    size_t entries;
  } rows[] = {{plain("127.0.0.1"), plain("127.0.0.1") + path, true, 1},
              {plain("127.0.0.1"), "ldap://" + path, true, 1},
              {plain("127.0.0.1"), plain("localhost") + path, true, 0},
              {plain("127.0.0.1"), plain("127.0.0.1") + path, false, 0},
              {plain("127.0.0.1") + "/????StartTLS", plain("127.0.0.1") + path, true, 1},
              {ldaps("127.0.0.1"), ldaps("127.0.0.1") + path, true, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.session + " -> " + row.url);
    Session ld(zev_ldap_init(row.session.c_str(), 0));
    if (row.bind) {
      ASSERT_EQ(0, zev_ldap_simple_bind_s(ld.get(), "cn=reader,o=Example,c=GB", "reader-secret"));
    }
    LDAPMessage* result = nullptr;
    int rc = zev_ldap_url_search_st(ld.get(), row.url.c_str(), 0, nullptr, &result);
    EXPECT_EQ(row.entries == 1 ? 0 : 32, rc);
    EXPECT_EQ(row.entries, walk(ld.get(), result).size());
  }
}

}  // namespace
