// The loaded plug-in against a real slapd, on both roads to an LDAP library: the default one
// ("zev9ldap", found in the build's lib folder through ZEV_LIBRARY_PATH) and a driver path to
// the system's libldap. Retrieval, URL searches, binds, LDAPS, entry modification, and a server
// that restarts, never answers, answers slowly or fails (the retcode overlay).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ldapglobal.h"
#include "ldapsearch.h"
#include "support/slapd.h"
#include "zevcms.h"
#include "zevldap.h"

namespace {

using namespace zev09000003;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
typedef std::vector<std::string> Ders;

struct Road {
  const char* name;
  const char* driverPath;  // empty: the default library
};

const char* const kCA = "cn=Test CA,o=Example,c=GB";
const char* const kCrlPath = "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary";
// The manager's retry trace, with its terminating zero character.
const std::string kRetrying =
    std::string("Error(81) from ldap_search().  Can't contact LDAP server  Retrying.") + '\0';

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

// The code and text of the ZEVDIRException that work throws ("576004 ..."), or "" for none.
std::string failureOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const ZEVDIRException& e) {
    return std::to_string(e.getError()) + " " + e.what();
  }
  return "";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

class PluginTest : public slapdtest::ServerSuite<::testing::TestWithParam<Road>> {
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
    options.sizelimit = 5;  // for the anonymous managers below
    options.ldapsCert = testpki::get().path("server.pem");
    options.ldapsKey = testpki::get().path("server.key");
    server_ = new slapdtest::Server(options);
  }
  bool ours() const { return GetParam().driverPath[0] == '\0'; }
  ZEVDIRConnectInfo::LDAP info(int port = 0) const {
    ZEVDIRConnectInfo::LDAP info("127.0.0.1", port != 0 ? port : server_->port());
    info.setDriverPath(GetParam().driverPath);
    info.setConnectTimeout(5);
    info.setSearchTimeout(10);
    return info;
  }
  static std::unique_ptr<ZEVDIRManager> manager(const ZEVDIRConnectInfo::LDAP& info) {
    static ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
    return std::unique_ptr<ZEVDIRManager>(
        static_cast<ZEVDIRManager*>(factory(const_cast<ZEVDIRConnectInfo::LDAP*>(&info))));
  }
  std::unique_ptr<ZEVDIRManager> manager(int errorLevel = 0) const {
    ZEVDIRConnectInfo::LDAP connect = info();
    connect.setErrorLevel(errorLevel);
    return manager(connect);
  }
  // slapd sends certificates only with the ";binary" option. Our library reports them under
  // the name asked for; the system's libldap as sent, where the manager finds none.
  Ders certificates(const Ders& stored) const { return ours() ? stored : Ders(); }
};

TEST_P(PluginTest, EveryStoredFormDecodesAndDamagedValuesAreSkipped) {
  TraceCapture trace;
  std::unique_ptr<ZEVDIRManager> m = manager();
  EXPECT_EQ(certificates({"ca", "ca2"}), ders(m->getCACertificates(dn(kCA))));
  EXPECT_EQ(certificates({"user1", "user2", "user3"}),
            ders(m->getUserCertificates(dn("ou=people,o=Example,c=GB"))));
  EXPECT_EQ(certificates({"user2"}),
            ders(m->getUserCertificates(dn("cn=User Two,ou=people,o=Example,c=GB"))));
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
      std::unique_ptr<ZEVDIRManager> m = manager(level);
      Ders found{"none"};
      std::string failure = failureOf([&] { found = ders(m->getViaURI(url.c_str())); });
      if (!ours() && level == 0) {
        EXPECT_EQ("576004 searchByURI not supported by this client", failure);
      } else {
        EXPECT_EQ("", failure);
        EXPECT_EQ(ours() ? Ders{"crl"} : Ders(), found);
      }
    }
  }
  ZEVDIRConnectInfo::LDAP connect = info();
  std::unique_ptr<ZEVDIRManager> dynamic(
      static_cast<ZEVDIRManager*>(zev9drld_newDynamicDIRManager(&connect, nullptr)));
  ASSERT_NE(nullptr, dynamic);
  EXPECT_EQ(Ders{"crl"}, ders(dynamic->getViaURI((server_->uri() + kCrlPath).c_str())));
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
    ZEVDIRConnectInfo::LDAP connect = info();
    connect.setUserDN(row.user.c_str());
    connect.setUserPassword(row.password.c_str());
    connect.setVersion(row.version);
    connect.setErrorLevel(2);
    std::unique_ptr<ZEVDIRManager> m = manager(connect);
    if (row.binds) {
      EXPECT_TRUE(m->validateConnection());
      EXPECT_EQ(Ders{"crl"}, ders(m->getCRLs(dn(kCA))));
    } else {
      EXPECT_THAT(failureOf([&] { m->validateConnection(); }),
                  AllOf(StartsWith("576009 "), HasSubstr("rc=49")));
    }
  }
}

// ldaps:// hosts are ours: the system's ldap_init takes host names only. With another CA as
// its only trust anchor, our library cannot reach the server (81) and sends nothing in clear.
TEST_P(PluginTest, LdapsThroughOurLibrary) {
  if (!ours()) GTEST_SKIP() << "our library only";
  ZEVDIRConnectInfo::LDAP connect(server_->ldapsUri().c_str(), 0);
  connect.setConnectTimeout(5);
  std::unique_ptr<ZEVDIRManager> m = manager(connect);
  EXPECT_TRUE(m->validateConnection());
  EXPECT_EQ((Ders{"arl", "crl"}), ders(m->getARLs(dn(kCA))));

  LDAP* ld = zev_ldap_init(server_->ldapsUri().c_str(), 0);
  ASSERT_EQ(0, zev_ldap_set_option(ld, 0x6002, testpki::get().path("other.pem").c_str()));
  int zero = 0;
  ASSERT_EQ(0, zev_ldap_set_option(ld, 0x600f, &zero));  // a fresh TLS context
  EXPECT_EQ(
      81, zev_ldap_simple_bind_s(ld, server_->adminDN().c_str(), server_->adminPassword().c_str()));
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

// The result code of a base search for dn, and the entry's values under name; text values
// come back with their terminating zero.
int read(LDAPClient& client, const std::string& dn, const char* name, Ders* out) {
  out->clear();
  try {
    if (client.search(dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0) != 1) return -1;
  } catch (const ZEVDIRException&) {
    return client.errorCode();
  }
  LDAPSearchResults results(client);
  LDAPAttributeMap* entry = results.next();
  for (auto it = entry->lower_bound(name); it != entry->upper_bound(name); ++it) {
    out->emplace_back(reinterpret_cast<const char*>(it->second->getValue()),
                      it->second->getLength());
  }
  return 0;
}

std::string text(const std::string& value) { return std::string(value.c_str(), value.size() + 1); }

TEST_P(PluginTest, AddReplaceRenameAndDeleteAreReadBack) {
  LDAPClient client(ZEVConstString("127.0.0.1"), ZEVConstString(GetParam().driverPath), nullptr,
                    server_->port(), 3, 10, 5);
  const std::string& password = server_->adminPassword();
  client.login(ZEVConstString(server_->adminDN().c_str()),
               ZEVASNCBuffer(password.data(), password.size()));
  const std::string name = std::string("Tmp ") + GetParam().name;
  const std::string people = ",ou=people,o=Example,c=GB", dn = "cn=" + name + people;
  const testpki::Bytes bytes = testpki::get().der("user3");
  const std::string cert(bytes.begin(), bytes.end());
  Ders got;
  Attributes entry;
  entry.add("objectClass", "inetOrgPerson").add("cn", name).add("sn", "Temporary");
  entry.add("description", "first text").add("userCertificate;binary", cert, true);
  ASSERT_TRUE(client.addEntry(&entry, dn.c_str())) << client.errorCode();
  ASSERT_EQ(0, read(client, dn, "description", &got));
  EXPECT_EQ(Ders{text("first text")}, got);
  ASSERT_EQ(0, read(client, dn, ours() ? "userCertificate" : "userCertificate;binary", &got));
  EXPECT_EQ(Ders{cert}, got);
  EXPECT_FALSE(client.addEntry(&entry, dn.c_str()));
  EXPECT_EQ(68, client.errorCode());  // already exists

  Attributes change;
  change.add("description", "second text");
  ASSERT_TRUE(client.modifyEntry(&change, dn.c_str())) << client.errorCode();
  ASSERT_EQ(0, read(client, dn, "description", &got));
  EXPECT_EQ(Ders{text("second text")}, got);

  // Renamed deleting the old value, then asking to keep it: the system's ldap_modrdn_s has no
  // such flag and always deletes it.
  ASSERT_TRUE(client.modifyRDN(dn.c_str(), ("cn=Renamed " + name).c_str(), true));
  EXPECT_EQ(32, read(client, dn, "cn", &got));
  const std::string kept = "cn=Kept " + name + people;
  ASSERT_TRUE(client.modifyRDN(("cn=Renamed " + name + people).c_str(), ("cn=Kept " + name).c_str(),
                               false));
  ASSERT_EQ(0, read(client, kept, "cn", &got));
  Ders cns{text("Kept " + name)};
  if (ours()) cns.insert(cns.begin(), text("Renamed " + name));
  EXPECT_EQ(cns, got);

  ASSERT_TRUE(client.deleteEntry(kept.c_str())) << client.errorCode();
  EXPECT_EQ(32, read(client, kept, "cn", &got));
  EXPECT_FALSE(client.deleteEntry(kept.c_str()));
  EXPECT_EQ(32, client.errorCode());
}

// Level 0 passes every failed search on, level 1 all but a missing entry, level 2 none; a
// search that is not passed on returns nothing, not even entries read before a limit.
TEST_P(PluginTest, FailedSearchesFollowTheErrorLevel) {
  const struct {
    const char* entry;
    const char* rc;
  } rows[] = {
      {"cn=Missing,o=Example,c=GB", "rc=32"},
      {"o=Example,c=GB", "rc=4."},  // seven holders of user certificates, the limit is five
      {"cn=unwilling,ou=RetCodes,o=Example,c=GB", "rc=53"},
      {"cn=busy,ou=RetCodes,o=Example,c=GB", "rc=51"},
  };
  for (const auto& row : rows) {
    for (int level : {0, 1, 2}) {
      SCOPED_TRACE(std::string(row.entry) + " level " + std::to_string(level));
      std::unique_ptr<ZEVDIRManager> m = manager(level);
      Ders found{"none"};
      std::string failure = failureOf([&] { found = ders(m->getUserCertificates(dn(row.entry))); });
      if (level == 0 || (level == 1 && std::string(row.rc) != "rc=32")) {
        EXPECT_THAT(failure, AllOf(StartsWith("576004 "), HasSubstr(row.rc)));
      } else {
        EXPECT_EQ("", failure);
        EXPECT_EQ(Ders(), found);
      }
    }
  }
}

TEST_P(PluginTest, SilentServerCostsAtMostTheConnectTimeout) {
  slapdtest::SilentListener silent;
  ZEVDIRConnectInfo::LDAP connect = info(silent.port());
  connect.setConnectTimeout(1);
  std::unique_ptr<ZEVDIRManager> m = manager(connect);
  if (ours()) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(failureOf([&] { m->validateConnection(); }),
                AllOf(StartsWith("576002 "), HasSubstr("rc=85")));
    EXPECT_LT(secondsSince(start), 2.5);
    return;
  }
  // The system's libldap does not know option 70: no connect timeout, and the bind hangs. It
  // runs in a child process, which is killed after 3 s.
  pid_t child = fork();
  if (child == 0) {
    m->validateConnection();
    _exit(0);
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(0, waitpid(child, nullptr, WNOHANG)) << "the bind returned";
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST_P(PluginTest, RestartUnderALiveManager) {
  TraceCapture trace;
  std::unique_ptr<ZEVDIRManager> m = manager();
  ASSERT_EQ(Ders{"crl"}, ders(m->getCRLs(dn(kCA))));
  server_->restart();
  if (ours()) {
    // The dead session answers 81, and the manager retries once on a fresh session.
    EXPECT_EQ(Ders{"crl"}, ders(m->getCRLs(dn(kCA))));
    EXPECT_EQ(1, trace.count(kRetrying));
    return;
  }
  // The system's libldap reports a dead server as -1, which is not retried, and its session
  // stays dead: the manager keeps failing, and only a fresh one works again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THAT(failureOf([&] { ders(m->getCRLs(dn(kCA))); }),
                AllOf(StartsWith("576004 "), HasSubstr("rc=-1")));
  }
  EXPECT_EQ(0, trace.count(kRetrying));
  EXPECT_EQ(Ders{"crl"}, ders(manager()->getCRLs(dn(kCA))));
}

INSTANTIATE_TEST_SUITE_P(Roads, PluginTest,
                         ::testing::Values(Road{"Zev9ldap", ""},
                                           Road{"SystemLibldap", SYSTEM_LIBLDAP}),
                         [](const ::testing::TestParamInfo<Road>& info) {
                           return info.param.name;
                         });

}  // namespace
