// The loaded plug-in against a real slapd (with the retcode overlay), on both roads to an LDAP
// library: our "zev9ldap" (through ZEV_LIBRARY_PATH) and a driver path to the system's libldap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ldapdirmanager.h"
#include "ldapglobal.h"
#include "ldapsearch.h"
#include "support/hostile.h"
#include "support/slapd.h"
#include "zevcms.h"
#include "zevldap.h"

namespace {

using namespace zev09000003;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::StartsWith;
typedef std::vector<std::string> Ders;

const char* const kCA = "cn=Test CA,o=Example,c=GB";
const char* const kCrlPath = "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary";

ZEVASNx500Name dn(const std::string& text) { return ZEVASNx500Name::fromRFC4514(ZEVString(text)); }

// The test PKI's names ("ca", "crl", ...) of the objects in what a manager returned.
template <class Container>
Ders ders(Container* returned) {
  std::unique_ptr<Container> container(returned);
  Ders out;
  for (std::size_t i = 0; i < container->size(); ++i) {
    const ZEVFastBuffer& bytes = (*container)[i]->getDEREncoding();
    testpki::Bytes value(bytes.getValue(), bytes.getValue() + bytes.getLength());
    out.push_back("unknown");
    for (const char* name : {"ca", "ca2", "user1", "user2", "user3", "crl", "arl"}) {
      if (value == testpki::get().der(name)) out.back() = name;
    }
  }
  return out;
}

// What work returns, or the code and text of the ZEVDIRException it throws ("576004 ...").
Ders outcome(const std::function<Ders()>& work) {
  try {
    return work();
  } catch (const ZEVDIRException& e) {
    return {std::to_string(e.getError()) + " " + e.what()};
  }
}

Ders validate(ZEVDIRManager& m) {
  return outcome([&] { return Ders{m.validateConnection() ? "valid" : "invalid"}; });
}

Matcher<Ders> failure(const char* code, const char* rc) {
  return ElementsAre(AllOf(StartsWith(std::string(code) + " "), HasSubstr(rc)));
}

struct TraceCapture {  // the trace of one test, in memory
  std::shared_ptr<ZEVMemoryTraceSink> sink = std::make_shared<ZEVMemoryTraceSink>();
  TraceCapture() {
    ZEVTrace::globalTrace().setSink(sink);
    ZEVTrace::globalTrace().setLevel(1);
  }
  ~TraceCapture() { ZEVTrace::globalTrace().setSink(nullptr); }
  long count(const std::string& text) const {
    std::vector<std::string> texts = sink->texts();
    return std::count(texts.begin(), texts.end(), text);
  }
};

// The road to an LDAP library a test takes: "" for ours, else the driver path of the system's.
class RoadTest : public ::testing::TestWithParam<const char*> {
 protected:
  bool ours() const { return *GetParam() == '\0'; }
};

std::string roadName(const ::testing::TestParamInfo<const char*>& info) {
  return *info.param ? "SystemLibldap" : "Zev9ldap";
}

class PluginTest : public slapdtest::ServerSuite<RoadTest> {
 protected:
  static void SetUpTestSuite() {
    // The system's libldap keeps process-wide state that it never frees: held loaded for the
    // whole run, it is set up once instead of leaking at every unload.
    static void* handle = nullptr;
    ASSERT_EQ(0, zev_load_library(SYSTEM_LIBLDAP, &handle));
    // The process-wide trust anchor (LDAPNOINIT keeps the environment's out).
    zev_ldap_set_option(nullptr, 0x6002, testpki::get().path("ca.pem").c_str());
    slapdtest::Options options;
    options.retcode = true;
    options.sizelimit = 5;
    options.ldapsCert = testpki::get().path("server.pem");
    options.ldapsKey = testpki::get().path("server.key");
    server_ = new slapdtest::Server(options);
  }
  ZEVDIRConnectInfo::LDAP info(int errorLevel = 0, int port = 0) const {
    ZEVDIRConnectInfo::LDAP info("127.0.0.1", port != 0 ? port : server_->port());
    info.setDriverPath(GetParam());
    info.setConnectTimeout(5);
    info.setSearchTimeout(10);
    info.setErrorLevel(errorLevel);
    return info;
  }

 public:
  static std::unique_ptr<ZEVDIRManager> manager(ZEVDIRConnectInfo::LDAP info) {
    static ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
    return std::unique_ptr<ZEVDIRManager>(static_cast<ZEVDIRManager*>(factory(&info)));
  }
  // slapd sends certificates only with the ";binary" option. Our library reports them under
  // the name asked for; the system's libldap as sent, where the manager finds none.
  Ders certificates(const Ders& stored) const { return ours() ? stored : Ders(); }
};

TEST_P(PluginTest, EveryStoredFormDecodesAndDamagedValuesAreSkipped) {
  TraceCapture trace;
  std::unique_ptr<ZEVDIRManager> m = manager(info());
  EXPECT_EQ(certificates({"ca", "ca2"}), ders(m->getCACertificates(dn(kCA))));
  EXPECT_EQ(certificates({"user1", "user2", "user3"}),
            ders(m->getUserCertificates(dn("ou=people,o=Example,c=GB"))));
  for (std::string form : {"DER", "PEM", "Base64", "ASN"}) {
    SCOPED_TRACE(form);
    ZEVASNx500Name entry = dn("cn=" + form + ",ou=encodings,o=Example,c=GB");
    EXPECT_EQ(certificates({"ca"}), ders(m->getCACertificates(entry)));
    EXPECT_EQ(certificates({"user1"}), ders(m->getUserCertificates(entry)));
    EXPECT_EQ(Ders{"crl"}, ders(m->getCRLs(entry)));
    EXPECT_EQ((Ders{"arl", "crl"}), ders(m->getARLs(entry)));  // ARL values first
  }
  EXPECT_EQ(0, trace.count("decode failed"));
  ZEVASNx500Name damaged = dn("cn=Damaged,ou=encodings,o=Example,c=GB");
  EXPECT_EQ(certificates({"ca", "ca2"}), ders(m->getCACertificates(damaged)));
  EXPECT_EQ((Ders{"crl", "arl"}), ders(m->getCRLs(damaged)));
  EXPECT_EQ(ours() ? 2 : 1, trace.count("decode failed"));
  // The system's libldap has neither function; the client warns once of each.
  for (std::string function : {"ldap_get_errno", "ldap_ber_free"}) {
    EXPECT_EQ(ours() ? 0 : 1, trace.count("Warning: " + function +
                                          " not defined in library - Window implementation?"));
  }
}

// The base manager's URL search needs ldap_url_search_st, which the system's libldap lacks;
// the dynamic manager searches by URL on both roads. A URL without a host goes to the
// manager's own server.
TEST_P(PluginTest, UrlSearches) {
  for (const std::string& url : {server_->uri() + kCrlPath, "ldap://" + std::string(kCrlPath)}) {
    for (int level : {0, 2}) {
      SCOPED_TRACE(url + " level " + std::to_string(level));
      Ders want = ours() ? Ders{"crl"} : Ders();
      if (!ours() && level == 0) want = {"576004 searchByURI not supported by this client"};
      EXPECT_EQ(want, outcome([&] { return ders(manager(info(level))->getViaURI(url.c_str())); }));
    }
  }
  ZEVDIRConnectInfo::LDAP connect = info();
  std::unique_ptr<ZEVDIRManager> dynamic(
      static_cast<ZEVDIRManager*>(zev9drld_newDynamicDIRManager(&connect, nullptr)));
  ASSERT_NE(nullptr, dynamic);
  const std::string url = server_->uri() + kCrlPath;
#if defined(_WIN32)
  // The dynamic manager parses URLs with the library's ldap_url_parse, which wldap32 lacks.
  if (!ours()) {
    EXPECT_THAT(outcome([&] { return ders(dynamic->getViaURI(url.c_str())); }),
                ::testing::ElementsAre(HasSubstr("searchByURI not supported by this client")));
    return;
  }
#endif
  EXPECT_EQ(Ders{"crl"}, ders(dynamic->getViaURI(url.c_str())));
}

// A bind failure reaches the caller even at the most lenient error level.
TEST_P(PluginTest, ConnectionCheckAndBindFailures) {
  const std::string admin = server_->adminDN();
  const struct {
    std::string user, password;
    int version;
    bool binds;
  } rows[] = {{admin, server_->adminPassword(), LDAP_VERSION_3, true},
              {"", "", LDAP_VERSION_2, true},  // anonymous
              {admin, "wrong", LDAP_VERSION_3, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.user + "/" + row.password);
    ZEVDIRConnectInfo::LDAP connect = info(2);
    connect.setUserDN(row.user.c_str());
    connect.setUserPassword(row.password.c_str());
    connect.setVersion(row.version);
    std::unique_ptr<ZEVDIRManager> m = manager(connect);
    EXPECT_THAT(validate(*m),
                row.binds ? Matcher<Ders>(Ders{"valid"}) : failure("576009", "rc=49"));
    EXPECT_EQ(row.binds ? Ders{"crl"} : Ders(), ders(m->getCRLs(dn(kCA))));  // level 2
  }
}

// ldaps:// hosts are ours: the system's ldap_init takes host names only. With another CA as
// its session's only trust anchor, our library refuses the server (112, a TLS failure) and
// sends nothing in clear.
TEST_P(PluginTest, LdapsThroughOurLibrary) {
  if (!ours()) GTEST_SKIP() << "our library only";
  ZEVDIRConnectInfo::LDAP connect(server_->ldapsUri().c_str(), 0);
  connect.setConnectTimeout(5);
  std::unique_ptr<ZEVDIRManager> m = manager(connect);
  EXPECT_EQ(Ders{"valid"}, validate(*m));
  EXPECT_EQ((Ders{"arl", "crl"}), ders(m->getARLs(dn(kCA))));

  LDAP* ld = zev_ldap_init(server_->ldapsUri().c_str(), 0);
  ASSERT_EQ(0, zev_ldap_set_option(ld, 0x6002, testpki::get().path("other.pem").c_str()));
  int zero = 0;
  ASSERT_EQ(0, zev_ldap_set_option(ld, 0x600f, &zero));  // a fresh TLS context
  EXPECT_EQ(112, zev_ldap_simple_bind_s(ld, server_->adminDN().c_str(),
                                        server_->adminPassword().c_str()));
  EXPECT_THAT(zev_ldap_err2string(112), StartsWith("TLS failure: certificate verify failed: "));
  zev_ldap_unbind(ld);
}

// An attribute map that frees its values.
struct Attributes : LDAPAttributeMap {
  ~Attributes() {
    while (!empty()) removeAttribute(this, std::string(begin()->first).c_str(), nullptr);
  }
  Attributes& add(const char* name, const std::string& value, bool binary = false) {
    addAttribute(this, name, value.c_str(), binary ? static_cast<unsigned>(value.size()) : 0);
    return *this;
  }
};

// The values of name in the entry dn, text values with their terminating zero; "rc=N" when the
// search fails.
Ders read(LDAPClient& client, const std::string& dn, const char* name) {
  try {
    client.search(dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0);
  } catch (const ZEVDIRException&) {
    return {"rc=" + std::to_string(client.errorCode())};
  }
  LDAPSearchResults results(client);
  LDAPAttributeMap* entry = results.next();
  Ders out;
  for (auto it = entry->lower_bound(name); it != entry->upper_bound(name); ++it) {
    out.emplace_back(reinterpret_cast<const char*>(it->second->getValue()),
                     it->second->getLength());
  }
  return out;
}

std::string text(const std::string& value) { return std::string(value.c_str(), value.size() + 1); }

TEST_P(PluginTest, AddReplaceRenameAndDeleteAreReadBack) {
  LDAPClient client(ZEVConstString("127.0.0.1"), ZEVConstString(GetParam()), nullptr,
                    server_->port(), 3, 10, 5);
  client.login(server_->adminDN().c_str(), server_->adminPassword().c_str());
  const std::string name = ours() ? "Tmp ours" : "Tmp system", people = ",ou=people,o=Example,c=GB";
  const std::string dn = "cn=" + name + people, kept = "cn=Kept " + name + people;
  const testpki::Bytes bytes = testpki::get().der("user3");
  const std::string cert(bytes.begin(), bytes.end());
  Attributes entry, change;
  entry.add("objectClass", "inetOrgPerson").add("cn", name).add("sn", "Temporary");
  entry.add("description", "first text").add("userCertificate;binary", cert, true);
  ASSERT_TRUE(client.addEntry(&entry, dn.c_str())) << client.errorCode();
  EXPECT_EQ(Ders{text("first text")}, read(client, dn, "description"));
  EXPECT_EQ(Ders{cert}, read(client, dn, ours() ? "userCertificate" : "userCertificate;binary"));
  EXPECT_FALSE(client.addEntry(&entry, dn.c_str()));
  EXPECT_EQ(68, client.errorCode());  // already exists

  ASSERT_TRUE(client.modifyEntry(&change.add("description", "second text"), dn.c_str()));
  EXPECT_EQ(Ders{text("second text")}, read(client, dn, "description"));

  // Renamed deleting the old value, then asking to keep it: the system's ldap_modrdn_s has no
  // such flag and always deletes it.
  ASSERT_TRUE(client.modifyRDN(dn.c_str(), ("cn=Renamed " + name).c_str(), true));
  EXPECT_EQ(Ders{"rc=32"}, read(client, dn, "cn"));
  ASSERT_TRUE(client.modifyRDN(("cn=Renamed " + name + people).c_str(), ("cn=Kept " + name).c_str(),
                               false));
  Ders cns{text("Kept " + name)};
  if (ours()) cns.insert(cns.begin(), text("Renamed " + name));
  EXPECT_EQ(cns, read(client, kept, "cn"));

  ASSERT_TRUE(client.deleteEntry(kept.c_str())) << client.errorCode();
  EXPECT_EQ(Ders{"rc=32"}, read(client, kept, "cn"));
}

// Level 0 passes every failed search on, level 1 all but a missing entry, level 2 none; a
// search that is not passed on returns nothing, not even entries read before a limit.
TEST_P(PluginTest, FailedSearchesFollowTheErrorLevel) {
  const struct {
    const char *entry, *rc;
  } rows[] = {
      {"cn=Missing,o=Example,c=GB", "rc=32"},
      {"o=Example,c=GB", "rc=4."},  // seven holders of user certificates, the limit is five
      {"cn=unwilling,ou=RetCodes,o=Example,c=GB", "rc=53"},
      {"cn=busy,ou=RetCodes,o=Example,c=GB", "rc=51"},
  };
  for (const auto& row : rows) {
    for (int level : {0, 1, 2}) {
      SCOPED_TRACE(std::string(row.entry) + " level " + std::to_string(level));
      bool passedOn = level == 0 || (level == 1 && std::string(row.rc) != "rc=32");
      EXPECT_THAT(
          outcome([&] { return ders(manager(info(level))->getUserCertificates(dn(row.entry))); }),
          passedOn ? failure("576004", row.rc) : Matcher<Ders>(Ders()));
    }
  }
}

TEST_P(PluginTest, SilentServerCostsAtMostTheConnectTimeout) {
  slapdtest::SilentListener silent;
  ZEVDIRConnectInfo::LDAP connect = info(0, silent.port());
  connect.setConnectTimeout(1);
  std::unique_ptr<ZEVDIRManager> m = manager(connect);
  if (ours()) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(validate(*m), failure("576002", "rc=85"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);
    return;
  }
  // The system's libldap does not know option 70: no connect timeout, and the bind hangs.
#if defined(_WIN32)
  // Without fork the bind runs on a thread of its own, which is left behind with the manager
  // when it hangs: closing the listener at the end of the test ends the bind.
  auto returned = std::make_shared<std::atomic<bool>>(false);
  std::thread([returned, leaked = m.release()] {
    try {
      leaked->validateConnection();
    } catch (const ZEVDIRException&) {
      // what the bind says once the listener is gone, after the test
    }
    *returned = true;
  }).detach();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_FALSE(*returned) << "the bind returned";
#else
  // It runs in a child process, which is killed after 3 s.
  pid_t child = fork();
  if (child == 0) {
    m->validateConnection();
    _exit(0);
  }
  sleep(3);
  EXPECT_EQ(0, waitpid(child, nullptr, WNOHANG)) << "the bind returned";
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
#endif
}

// Our dead session answers 81, and the manager retries once on a fresh session. The system's
// libldap reports a dead server as -1, which is not retried, and its session stays dead: the
// manager keeps failing, and only a fresh one works again.
TEST_P(PluginTest, RestartUnderALiveManager) {
  TraceCapture trace;
  std::unique_ptr<ZEVDIRManager> m = manager(info());
  ASSERT_EQ(Ders{"crl"}, ders(m->getCRLs(dn(kCA))));
  server_->restart();
  for (int attempt = 0; attempt < 2; ++attempt) {
    Ders got = outcome([&] { return ders(m->getCRLs(dn(kCA))); });
#if defined(_WIN32)
    // Wine's wldap32 opens a fresh connection by itself.
    EXPECT_EQ(Ders{"crl"}, got);
#else
    EXPECT_THAT(got, ours() ? Matcher<Ders>(Ders{"crl"}) : failure("576004", "rc=-1"));
#endif
  }
  EXPECT_EQ(ours() ? 1 : 0, trace.count(std::string("Error(81) from ldap_search().  Can't "
                                                    "contact LDAP server  Retrying.") +
                                        '\0'));
  EXPECT_EQ(Ders{"crl"}, ders(manager(info())->getCRLs(dn(kCA))));
}

// Our library under the plug-in, against a server of ours that misbehaves on the search: each
// case ends within the search time limit with its own code and text, and only a connection
// lost in the middle of an answer is retried (one more connection, one retry line).
TEST(HostileServer, EachMisbehaviourEndsWithItsOwnFailureAndNoNeedlessRetry) {
  using slapdtest::Delivery;
  using slapdtest::HostileServer;
  const std::string entry = HostileServer::largeEntry();
  const std::string declared = std::to_string(entry.size() - 2 - (entry[1] & 0x7f));
  const std::string overCap =
      "rc=" + std::to_string(ZEV_LDAP_INCOMING_TOO_LARGE) + ". Incoming message of ";
  const struct {
    const char* name;
    Delivery delivery;
    std::string answer;
    const char* cap;  // ZEV_LDAP_MAX_INCOMING, or null
    std::string rc;
    int connections;
  } rows[] = {
      {"garbage", Delivery::kWhole, HostileServer::tlv(0x04, "not an LDAP message"), nullptr,
       "rc=84. Decoding error", 1},
      {"4 GiB", Delivery::kWhole, std::string("\x30\x85\x01\x00\x00\x00\x00", 7), nullptr,
       overCap + "4294967296 bytes is over the cap of 268435456 bytes; raise ZEV_LDAP_MAX_INCOMING",
       1},
      {"over the cap", Delivery::kWhole, entry + HostileServer::searchDone(), "512",
       overCap + declared + " bytes is over the cap of 512", 1},
      {"cut", Delivery::kCut, entry.substr(0, entry.size() / 2), nullptr,
       "rc=81. Can't contact LDAP server", 2},
      {"drip", Delivery::kDrip, entry + HostileServer::searchDone(), nullptr, "rc=85. Timed out",
       1},
      {"silent", Delivery::kSilent, "", nullptr, "rc=85. Timed out", 1},
  };
  static ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostileServer server(row.delivery, row.answer);
    if (row.cap != nullptr) testsupport::setEnv("ZEV_LDAP_MAX_INCOMING", row.cap);
    TraceCapture trace;
    ZEVDIRConnectInfo::LDAP info("127.0.0.1", server.port());
    info.setConnectTimeout(2);
    info.setSearchTimeout(1);
    std::unique_ptr<ZEVDIRManager> m(static_cast<ZEVDIRManager*>(factory(&info)));
    auto start = std::chrono::steady_clock::now();
    Ders got = outcome([&] { return ders(m->getCRLs(dn(kCA))); });
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5)
        << "hangs";
    testsupport::unsetEnv("ZEV_LDAP_MAX_INCOMING");
    EXPECT_THAT(got, failure("576004", row.rc.c_str()));
    EXPECT_EQ(row.connections, server.connections());
    long retries = 0;
    for (const std::string& text : trace.sink->texts()) {
      retries += text.find("Retrying.") != std::string::npos;
    }
    EXPECT_EQ(row.connections - 1, retries);
  }
}

// The driver library's own words for two codes: Wine's wldap32 names them in title case.
#if defined(_WIN32)
const char kSystemSizeLimit[] = "rc=4. Size Limit Exceeded";
const char kSystemObjectClassViolation[] = "Object Class Violation";
#else
const char kSystemSizeLimit[] = "rc=4. Size limit exceeded";
const char kSystemObjectClassViolation[] = "Object class violation";
#endif

// A production-like directory (see slapdtest::production) through the plug-in's API. What
// arrives is written as one text per case: the objects found, or the failure's code and words.
class ProductionTest : public slapdtest::ServerSuite<RoadTest> {
 protected:
  static void SetUpTestSuite() { server_ = new slapdtest::Server(slapdtest::production()); }
  void TearDown() override {
    zev_ldap_set_option(nullptr, 0x6002, testpki::get().path("ca.pem").c_str());
  }
  ZEVDIRConnectInfo::LDAP info(const std::string& host, int port = 0) const {
    ZEVDIRConnectInfo::LDAP info(host.c_str(), port);
    info.setDriverPath(GetParam());
    info.setConnectTimeout(5);
    info.setSearchTimeout(10);
    return info;
  }
  static std::string joined(const Ders& got) {
    std::string out;
    for (const std::string& item : got) out += (out.empty() ? "" : " ") + item;
    return out;
  }
};

TEST_P(ProductionTest, TlsLoginPagingReferralsAndTheServersWords) {
  const std::string tls = server_->ldapsUri(), port = std::to_string(server_->port());
  const std::string privateCRL =
      server_->uri() + "/cn=Private%20CA,ou=private,o=Example,c=GB?certificateRevocationList";
  auto crls = [&](const std::string& host, const char* anchor, const char* entry) {
    return [=]() {
      zev_ldap_set_option(nullptr, 0x6002, testpki::get().path(anchor).c_str());
      return joined(ders(PluginTest::manager(info(host))->getCRLs(dn(entry))));
    };
  };
  auto userCerts = [&](const char* entry) {
    return [=]() {
      return joined(ders(
          PluginTest::manager(info("127.0.0.1", server_->port()))->getUserCertificates(dn(entry))));
    };
  };
  auto urlAs = [&](const std::string& user, const std::string& password) {
    return [=]() {
      std::unique_ptr<ZEVDIRManager> m = PluginTest::manager(info("127.0.0.1", server_->port()));
      LDAPClient* client = static_cast<LDAPDIRManager*>(m.get())->getClient();
      if (!user.empty()) client->login(user.c_str(), password.c_str());
      return joined(ders(m->getViaURI(privateCRL.c_str())));
    };
  };
  const struct {
    const char* name;
    std::function<std::string()> work;
    std::string ours, system;  // a part of the text on each road; "-" skips the road
  } rows[] = {
      // Every form of TLS is judged in the library's own test; here each form shows that the
      // plug-in passes the host string on and the failure's text back.
      {"ldaps, trusted", crls(tls, "ca.pem", kCA), "crl", "-"},
      {"ldaps, untrusted", crls(tls, "other.pem", kCA),
       "rc=112. TLS failure: certificate verify failed: ", "-"},
      {"StartTLS required",
       crls(server_->uri() + "/????"
                             "!StartTLS",
            "ca.pem", kCA),
       "crl", "-"},
      {"StartTLS required, untrusted",
       crls(server_->uri() + "/????"
                             "!StartTLS",
            "other.pem", kCA),
       "rc=112. TLS failure: StartTLS handshake failed: certificate verify failed", "-"},
      {"URL after a bind", urlAs("cn=reader,o=Example,c=GB", "reader-secret"), "crl",
       "searchByURI not supported"},
      {"URL without a bind", urlAs("", ""), "rc=32. No such object", "searchByURI not supported"},
      {"paged", userCerts("ou=people,o=Example,c=GB"), "user3 user3 user3 user3",
       kSystemSizeLimit},
      {"referral", crls("127.0.0.1:" + port, "ca.pem", "cn=Moved,o=Example,c=GB"),
       "rc=10. Referral: matched DN \"cn=Moved,o=Example,c=GB\"; referral to "
       "ldap://elsewhere.example:389/cn=Moved,o=Example,c=GB??base (not followed)",
       "rc=10. Referral"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string& want = ours() ? row.ours : row.system;
    if (want == "-") continue;
    std::string got;
    try {
      got = row.work();
    } catch (const ZEVDIRException& e) {
      got = std::to_string(e.getError()) + " " + e.what();
    }
    EXPECT_THAT(got, HasSubstr(want));
  }
}

// Without paging the size limit cuts the answer, and the error says how much arrived; a
// continuation reference is traced; the server names what it refused.
TEST_P(ProductionTest, CutAnswersReferencesAndRefusals) {
  TraceCapture trace;
  // The page size is read when a session opens, at the manager's first search.
  std::unique_ptr<ZEVDIRManager> unpaged = PluginTest::manager(info("127.0.0.1", server_->port()));
  testsupport::setEnv("ZEV_LDAP_PAGE_SIZE", "0");
  Ders cut =
      outcome([&] { return ders(unpaged->getUserCertificates(dn("ou=people,o=Example,c=GB"))); });
  testsupport::unsetEnv("ZEV_LDAP_PAGE_SIZE");
  EXPECT_THAT(cut, failure("576004", ours() ? "rc=4. Size limit exceeded: 5 entries arrived; the "
                                              "answer is incomplete"
                                            : kSystemSizeLimit));
  std::unique_ptr<ZEVDIRManager> m = PluginTest::manager(info("127.0.0.1", server_->port()));
  EXPECT_EQ(ours() ? Ders{"user3"} : Ders(),
            ders(m->getUserCertificates(dn("ou=branches,o=Example,c=GB"))));
  const std::vector<std::string> lines = trace.sink->texts(512, 1);
  EXPECT_EQ(ours() ? 1 : 0,
            std::count(lines.begin(), lines.end(),
                       "continuation reference: ldap://north.example:389/ou=north,ou=branches,"
                       "o=Example,c=GB??sub (in the search of \"OU=branches,O=Example,C=GB\", "
                       "not followed)"));
  LDAPClient client(ZEVConstString("127.0.0.1"), ZEVConstString(GetParam()), nullptr,
                    server_->port(), 3, 10, 5);
  client.login(server_->adminDN().c_str(), server_->adminPassword().c_str());
  const testpki::Bytes crl = testpki::get().der("crl");
  Attributes entry;
  entry.add("objectClass", "person").add("cn", "Nemo").add("sn", "Nemo");
  entry.add("certificateRevocationList;binary", std::string(crl.begin(), crl.end()), true);
  std::string where = std::string("cn=Nemo ") + (ours() ? "ours" : "system") + ",o=Example,c=GB";
  EXPECT_FALSE(client.addEntry(&entry, where.c_str()));
  EXPECT_EQ(65, client.errorCode());
  EXPECT_THAT(client.errorMessage(0),
              ours() ? HasSubstr("Object class violation: server says \"attribute "
                                 "'certificateRevocationList;binary' not allowed\"")
                     : HasSubstr(kSystemObjectClassViolation));
  if (ours()) {  // our library traces the refusal with the server's words
    EXPECT_THAT(trace.sink->texts(512, 1),
                Contains(StartsWith("add \"" + where +
                                    "\": rc=65 (Object class violation); server says")));
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, ProductionTest, ::testing::Values("", SYSTEM_LIBLDAP), roadName);
INSTANTIATE_TEST_SUITE_P(Roads, PluginTest, ::testing::Values("", SYSTEM_LIBLDAP), roadName);

}  // namespace
