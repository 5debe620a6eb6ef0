// Loading the LDAP library into a client's function table, and the loadable plug-in as a host
// sees it: only the library manager and the factory name "zev9drld".
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "support/fakeclient.h"
#include "support/testpki.h"

using namespace zev09000003;
using fakeclient::thrown;
using testpki::Bytes;

namespace {

const char kHost[] = "ldap.example.com";
// The standard names, in the table's declaration order.
const char* const kNames[25] = {
    "ldap_init",           "ldap_msgfree",        "ldap_err2string",     "ldap_set_option",
    "ldap_simple_bind_s",  "ldap_unbind",         "ldap_search_st",      "ldap_url_search_st",
    "ldap_url_parse",      "ldap_free_urldesc",   "ldap_count_entries",  "ldap_add_s",
    "ldap_delete_s",       "ldap_modify_s",       "ldap_modrdn_s",       "ldap_first_entry",
    "ldap_next_entry",     "ldap_get_dn",         "ldap_memfree",        "ldap_first_attribute",
    "ldap_next_attribute", "ldap_get_values_len", "ldap_value_free_len", "ldap_get_errno",
    "ldap_ber_free"};

using LoadingTest = fakeclient::Test;

TEST_F(LoadingTest, EachRoadFillsTheTableUnderItsNames) {
  const struct {
    std::string path;
    bool driverPath;
    const char* prefix;
    int bound, warnings;  // the variant without the optional functions lacks 5, warns of 2
  } rows[] = {{fakeldap::zevPath(), false, "zev_", 25, 0},
              {fakeldap::standardPath(), true, "", 25, 0},
              {fakeldap::noOptionalPath(), true, "", 20, 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    fake(row.path);
    ASSERT_TRUE(testsupport::Library::isLoaded(row.path));
    testsupport::Library self(row.path);
    const LDAPSymbolTable table =
        LDAPClient(kHost, row.driverPath ? row.path.c_str() : "", nullptr, 389, 3, 0, 0)
            .getSymbolTable();
    int bound = 0;
    for (int i = 0; i < 25; ++i) {
      void* p;
      std::memcpy(&p, reinterpret_cast<const char*>(&table) + i * sizeof(void*), sizeof(p));
      EXPECT_EQ(self.find((row.prefix + std::string(kNames[i])).c_str()), p) << kNames[i];
      bound += p != nullptr;
    }
    EXPECT_EQ(row.bound, bound);
    int warnings = 0;
    for (const std::string& t : sink->texts()) warnings += t.rfind("Warning: ", 0) == 0;
    EXPECT_EQ(row.warnings, warnings);
    EXPECT_EQ(row.warnings > 0, sink->contains("Warning: ldap_get_errno not defined in library - "
                                               "Window implementation?"));
    startOver();
  }
}

TEST_F(LoadingTest, LibraryWithoutSearchFailsWithEmptyMessage) {
  const std::string path = fakeldap::noSearchPath();
  {
    fakeldap::Library nosearch(path);
    EXPECT_EQ("576001 ", thrown([&] { LDAPClient c(kHost, path.c_str(), nullptr, 389, 3, 0, 0); }));
  }
  // Nothing is looked up after the missing function, and the library is released.
  EXPECT_EQ("ldap_search_st symbol not defined in library", sink->texts().back());
  EXPECT_FALSE(testsupport::Library::isLoaded(path)) << "the client kept the library loaded";
}

class PluginTest : public fakeclient::Test {
 protected:
  void SetUp() override {
    fakeclient::Test::SetUp();
    ASSERT_EQ(nullptr, ZEVLibraryManager::findLibEntry("zev9drld")) << "plug-in still loaded";
    factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
    ASSERT_NE(nullptr, factory) << ZEVLibraryManager::lastError().c_str();
  }
  void dropClients() override { EXPECT_TRUE(ZEVLibraryManager::unloadLibrary("zev9drld")); }
  ZEVDIRManager* make(void* args) { return static_cast<ZEVDIRManager*>(factory(args)); }
  ZEVLibraryFunction factory = nullptr;
};

// Loading traces the plug-in's path. Each manager is new, unconnected, keeps its own copy of the
// arguments and decodes every kind from DER, PEM (also with a terminator), Base64 and "{ASN}" or
// "{asn}" hex; a damaged value is skipped with a trace. ARLs come first, duplicates are kept.
TEST_F(PluginTest, ManagersFromTheFactoryRetrieveEveryKind) {
  const std::vector<std::string> startup = sink->texts(1, 1);
  ASSERT_EQ(1u, startup.size());
  EXPECT_TRUE(std::filesystem::equivalent(startup[0], fakeclient::pluginPath())) << startup[0];
  struct : ZEVDIRConnectInfo::OBJECT {
    OBJECT* clone() const override { return nullptr; }
  } other;  // connection information of another kind
  ZEVDIRConnectInfo::LDAP noLibrary;
  noLibrary.setDriverPath(fakeldap::dir() + "/libnosuchldap.so");
  EXPECT_EQ("571002 args cannot be NULL", thrown([&] { make(nullptr); }));
  EXPECT_EQ("571002 args is invalid", thrown([&] { make(&other); }));
  EXPECT_EQ("576001 ", thrown([&] { make(&noLibrary); }));  // with an empty message
  EXPECT_TRUE(sink->contains("Failed to open LDAP shared library client"));
  const testpki::Material& pki = testpki::get();
  const ZEVASNx500Name name = ZEVASNx500Name::fromRFC4514("cn=CA1,o=Example,c=GB");
  const std::string dn = ZEVASNUtility::getRFC2253String(name, false, 5).c_str();
  const char* const rows[][2] = {{"cACertificate", "ca"},
                                 {"userCertificate", "user1"},
                                 {"certificateRevocationList;binary", "crl"},
                                 {"authorityRevocationList", "arl"}};
  for (const auto& row : rows) {
    const Bytes d = pki.der(row[1]);
    const std::string pem = pki.pem(row[1]);
    for (const std::string& v : {std::string(d.begin(), d.end()), pem, pem + '\0',
                                 testpki::toBase64(d), "{ASN}" + testpki::toHex(d),
                                 "{asn}" + testpki::toHex(d, false), std::string("{ASN}30zz")})
      lib.addText(dn, row[0], v);
  }
  std::unique_ptr<ZEVDIRConnectInfo::LDAP> info(new ZEVDIRConnectInfo::LDAP("ldap1", 389));
  std::unique_ptr<ZEVDIRManager> m(make(info.get())), m2(make(info.get()));
  info.reset();
  EXPECT_EQ(ZEVString("LDAPDIRManager"), m->getClassName());
  EXPECT_EQ(0, lib.callCount("ldap_init")) << "a new manager is not connected";
  const auto six = [&](const char* n) { return std::vector<Bytes>(6, pki.der(n)); };
  EXPECT_EQ(six("ca"), fakeclient::ders(m->getCACertificates(name)));
  EXPECT_EQ(six("user1"), fakeclient::ders(m->getUserCertificates(name)));
  EXPECT_EQ(six("crl"), fakeclient::ders(m->getCRLs(name)));
  std::vector<Bytes> lists = six("arl");
  lists.insert(lists.end(), 6, pki.der("crl"));
  EXPECT_EQ(lists, fakeclient::ders(m->getARLs(name)));
  const std::vector<std::string> t = sink->texts();
  EXPECT_EQ(5, std::count(t.begin(), t.end(), "decode failed"));
  EXPECT_TRUE(m2->validateConnection());  // m stays connected: m2 has its own session
  EXPECT_EQ(2, lib.callCount("ldap_init"));
  EXPECT_THAT(lib.log("ldap_init("), ::testing::Each("ldap_init(host=ldap1, port=389)"));
}

}  // namespace
