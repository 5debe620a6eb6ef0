// LDAPDIRManager and LDAPDynamicDIRManager over the fake "zev9ldap": which client each retrieval
// uses, retry and error levels, and the dynamic creation function.
#include "ldapdirmanager.h"


#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ldapdynamicdirmanager.h"
#include "ldapglobal.h"
#include "support/fakeclient.h"
#include "support/testpki.h"

using namespace zev09000003;
using testpki::Bytes;

namespace {

const char* const kBin = "certificateRevocationList;binary";
const testpki::Material& pki() { return testpki::get(); }
const ZEVASNx500Name kCA = ZEVASNx500Name::fromRFC4514("cn=CA1,o=Example,c=GB");
// The entry's name as the managers send it.
const std::string kDN = ZEVASNUtility::getRFC2253String(kCA, false, 5).c_str();

enum Op { kCACerts, kCRLs, kARLs, kViaURI, kValidate };

const char* const kRetried = "init simple_bind_s search_st unbind init simple_bind_s search_st";
const char* const kOnce = "init simple_bind_s search_st";
const char* const kBindOnly = "init simple_bind_s unbind";
const char* const kBind = "ldap_simple_bind_s";
const char* const kSearch = "ldap_search_st";

// function returns rc `times` times (-1: always) while op runs at errorLevel.
struct Failure {
  Op op;
  const char* function;
  int rc, times, errorLevel;
  const char* calls;
  long thrown;        // code reaching the caller, 0 for none
  size_t lists;       // lists returned otherwise
  const char* error;  // the one trace starting with "Error", or null
};

template <class Manager>
class ManagerTest : public fakeclient::Test {
 protected:
  void dropClients() override { manager_.reset(); }
  Manager& manager() {
    if (!manager_) manager_.reset(new Manager(info));
    return *manager_;
  }
  void store(const char* attr, const Bytes& value) { lib.addBytes(kDN, attr, value); }
  std::vector<Bytes> fetch(Op op) {
    ZEVDIRManager* m = &manager();
    if (op == kValidate && !m->validateConnection()) ADD_FAILURE() << "not valid";
    if (op == kCACerts) return fakeclient::ders(m->getCACertificates(kCA));
    if (op == kCRLs) return fakeclient::ders(m->getCRLs(kCA));
    if (op == kARLs) return fakeclient::ders(m->getARLs(kCA));
    return op == kViaURI ? fakeclient::ders(m->getViaURI(url.c_str())) : std::vector<Bytes>();
  }
  // "init simple_bind_s search_st unbind ...".
  std::string calls() const {
    std::string out;
    for (const std::string& l : lib.log())
      for (const char* f : {"init", "simple_bind_s", "unbind", "search_st", "url_search_st"})
        if (l.rfind(std::string("ldap_") + f + "(", 0) == 0) out += std::string(" ") + f;
    return out.empty() ? out : out.substr(1);
  }
  // Runs each row with a CRL stored.
  void check(const std::vector<Failure>& rows) {
    for (const Failure& row : rows) {
      SCOPED_TRACE("row " + std::to_string(&row - rows.data()));
      store(kBin, pki().der("crl"));
      info.setErrorLevel(row.errorLevel);
      lib.script(row.function, row.rc, row.times);
      size_t lists = 0;
      const std::string thrown = fakeclient::thrown([&] { lists = fetch(row.op).size(); });
      EXPECT_EQ(row.thrown, std::atol(thrown.c_str()));
      EXPECT_EQ(row.lists, lists);
      EXPECT_EQ(row.calls, calls());
      std::string errors;
      for (const std::string& t : sink->texts())
        if (t.rfind("Error", 0) == 0) errors += t.substr(0, t.find('\0')) + "\n";
      EXPECT_EQ(row.error ? std::string(row.error) + "\n" : "", errors);
      startOver();
    }
  }

  ZEVDIRConnectInfo::LDAP info;
  std::string url = "ldap://localhost:389/" + kDN;
  std::unique_ptr<Manager> manager_;
};

using BaseTest = ManagerTest<LDAPDIRManager>;

TEST_F(BaseTest, RetriesOnceWhenTheServerIsDownThenAppliesTheErrorLevel) {
  const char* const k81 = "Error(81) from ldap_search().  Can't contact LDAP server  Retrying.";
  const char* const kURL81 = "Error(81) from ldap_url_search_st().  Can't contact LDAP server";
  check({{kCRLs, kSearch, 81, 1, 0, kRetried, 0, 1, k81},
         {kCRLs, kSearch, 82, 1, 0, kRetried, 0, 1,
          "Error(82) from ldap_search().  Local error  Retrying."},
         {kCRLs, kSearch, 81, 2, 0, kRetried, 576004, 0, k81},
         {kCRLs, kSearch, 81, 2, 2, kRetried, 0, 0, k81},
         {kCRLs, kSearch, 49, 1, 0, kOnce, 576004, 0, nullptr},
         {kCRLs, kSearch, 32, 1, 1, kOnce, 0, 0, nullptr},
         {kCRLs, kSearch, 4, 1, 1, kOnce, 576004, 0, nullptr},
         {kCRLs, kSearch, 4, 1, 2, kOnce, 0, 0, nullptr},
         {kCRLs, kBind, 49, -1, 1, kBindOnly, 576009, 0, nullptr},
         // The connection check passes a refused bind on whatever the level.
         {kValidate, kBind, 49, 1, 2, kBindOnly, 576009, 0, nullptr},
         {kViaURI, "ldap_url_search_st", 81, 1, 0, "init url_search_st", 576004, 0, kURL81},
         {kViaURI, "ldap_url_search_st", 81, 1, 2, "init url_search_st", 0, 0, kURL81}});
}

TEST_F(BaseTest, ValidateConnectionLogsInAsTheHostSaysThenLogsOut) {
  info.setVersion(LDAP_VERSION_2);
  info.setUserDN("cn=admin");
  info.setUserPassword(ZEVString("secret"));
  EXPECT_TRUE(manager().validateConnection());
  EXPECT_THAT(lib.log(), ::testing::ElementsAre("ldap_init(host=localhost, port=389)",
                                                "ldap_set_option(option=17, value=2)",
                                                "ldap_simple_bind_s(dn=cn=admin, password=secret)",
                                                "ldap_unbind()"));
}

class DynamicTest : public ManagerTest<LDAPDynamicDIRManager> {
 protected:
  DynamicTest() { url = "ldap://ds.example.org:1389/" + kDN; }
};

TEST_F(DynamicTest, CertificatesUseTheBaseClientListsTheDynamicOnes) {
  const std::vector<std::string> base = {"ldap_set_option(option=17, value=3)",
                                         "ldap_set_option(option=70, value={3,0})"},
                                 dynamic = {"ldap_set_option(option=20485, value={3,0})"};
  const struct {
    Op op;
    bool base, dynamic, uri;  // connected afterwards
    const std::vector<std::string>& options;
  } rows[] = {{kCACerts, true, false, false, base},
              {kCRLs, false, true, false, dynamic},
              {kARLs, false, true, false, dynamic},
              {kViaURI, false, false, true, dynamic}};
  info.setConnectTimeout(3);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op);
    store("cACertificate", pki().der("ca"));
    store(kBin, pki().der("crl"));
    EXPECT_EQ(1u, fetch(row.op).size());
    EXPECT_EQ(row.base, manager().getClient()->isConnected());
    EXPECT_EQ(row.dynamic, manager().getDynamicClient()->isConnected());
    EXPECT_EQ(row.uri, manager().getURIClient()->isConnected());
    EXPECT_EQ(row.options, lib.log("ldap_set_option("));
    startOver();
  }
}

// A URL search never throws for a refused bind, and fails unparsable URLs up to level 1.
TEST_F(DynamicTest, RetriesOnceWhenTheServerIsDownThenAppliesTheErrorLevel) {
  const char* const k81 = "Error(81) from ldap_search().  Retrying.";  // whatever the code
  const char* const kURL = "Error in LDAPDynamicClient search url.";
  const char* const kParse = "ldap_url_parse";
  check({{kCRLs, kSearch, 82, 1, 0, kRetried, 0, 1, k81},
         {kCRLs, kSearch, 91, 2, 0, kRetried, 576004, 0, k81},
         {kCRLs, kSearch, 32, 1, 0, kOnce, 576004, 0, nullptr},
         {kCRLs, kBind, 49, -1, 0, kBindOnly, 576009, 0, nullptr},
         {kCRLs, kBind, 81, -1, 0, kBindOnly, 576002, 0, nullptr},
         {kCRLs, kBind, 49, -1, 2, kBindOnly, 0, 0, nullptr},
         {kValidate, kBind, 49, 1, 2, kBindOnly, 576009, 0, nullptr},
         {kViaURI, kBind, 49, 1, 0, kBindOnly, 0, 0, nullptr},
         {kViaURI, kSearch, 32, 1, 0, kOnce, 576004, 0, kURL},
         {kViaURI, kSearch, 32, 1, 1, kOnce, 0, 0, kURL},
         {kViaURI, kParse, 0, 1, 1, "", 576004, 0, kURL},
         {kViaURI, kParse, 0, 1, 2, "", 0, 0, kURL}});
}

TEST_F(DynamicTest, CreationFunctionIsExportedAndStoresItsFailure) {
  testsupport::Library plugin(fakeclient::pluginPath());
  auto create = plugin.function<void* (*)(void*, void**)>(ZEV9DRLD_NEW_DYNAMIC_MANAGER);
  void* stored = &plugin;  // overwritten on every way out
  std::unique_ptr<ZEVDIRManager> made(static_cast<ZEVDIRManager*>(create(&info, &stored)));
  EXPECT_EQ(nullptr, stored);
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(ZEVString("LDAPDynamicDIRManager"), made->getClassName());
  made.reset();
  EXPECT_EQ(nullptr, create(nullptr, &stored));
  ASSERT_TRUE(stored != nullptr && stored != &plugin);
  std::unique_ptr<ZEVException> error(static_cast<ZEVException*>(stored));
  EXPECT_EQ("571002 args cannot be NULL", std::to_string(error->getError()) + " " + error->what());
}

}  // namespace
