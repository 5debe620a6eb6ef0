// Test fixtures for the plug-in over the variants of the fake LDAP library: the trace goes to an
// in-memory sink, and at the end every handle that a loaded variant gave out must have come
// back exactly once. Header only.
#ifndef TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H
#define TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ldapclient.h"
#include "support/fakeldap.h"
#include "zevcms.h"

namespace fakeclient {

// Lets a test binary run outside ctest too: "zev9ldap" is the fake with "zev_" names.
struct LibraryPath : ::testing::Environment {
  void SetUp() override { setenv("ZEV_LIBRARY_PATH", fakeldap::zevDir().c_str(), 0); }
};
inline const ::testing::Environment* const kLibraryPath =
    ::testing::AddGlobalTestEnvironment(new LibraryPath);

// The loadable plug-in in the build tree.
inline std::string pluginPath() {
  const char* dir = std::getenv("ZEV_PLUGIN_DIR");
  return std::string(dir != nullptr ? dir : ZEV_BUILD_DIR "/lib") + "/libzev9drld.so";
}

// Connection information of another kind than LDAP.
class OtherInfo : public zev09000003::ZEVDIRConnectInfo::OBJECT {
 public:
  OBJECT* clone() const override { return new OtherInfo(); }
};

// Names a parameterised test after its row's name.
struct RowName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T>& info) const {
    return info.param.name;
  }
};

// Runs f and returns the code of the ZEVDIRException it throws (0: none); *message gets the
// exception's message.
template <class F>
long failure(F f, std::string* message = nullptr) {
  try {
    f();
  } catch (const zev09000003::ZEVDIRException& e) {
    if (message != nullptr) *message = e.getMessage().c_str();
    return e.getError();
  }
  return 0;
}

// Runs f, which should throw a ZEVDIRException, and returns "<code> <message>".
template <class F>
std::string thrown(F f) {
  std::string message;
  const long code = failure(f, &message);
  return code == 0 ? "no exception" : std::to_string(code) + " " + message;
}

// An attribute map that owns its names and values.
struct OwnedMap : zev09000003::LDAPAttributeMap {
  ~OwnedMap() {
    for (auto& e : *this) {
      delete[] e.first;
      delete e.second;
    }
  }
};

// lib is "zev9ldap"; fake() loads further variants.
class Test : public ::testing::Test {
 protected:
  void SetUp() override {
    zev09000003::ZEVTrace::globalTrace().setSink(sink);
    zev09000003::ZEVTrace::globalTrace().setLevel(1);
  }
  void TearDown() override {
    startOver();
    zev09000003::ZEVTrace::globalTrace().setSink(nullptr);
  }
  // Fixtures that own clients or managers delete them here, before the handles are counted.
  virtual void dropClients() {}
  // Drops the clients, checks the handles of every loaded variant, clears the fakes and trace.
  void startOver() {
    dropClients();
    for (auto& f : fakes_) {
      EXPECT_EQ(0, f.second->outstanding()) << f.first << ": " << f.second->handleReport();
      EXPECT_EQ(0, f.second->badFrees()) << f.first << ": " << f.second->handleReport();
      f.second->reset();
    }
    sink->clear();
  }
  // The variant at path, loaded on first use and kept until the end of the test.
  fakeldap::Library& fake(const std::string& path) {
    std::unique_ptr<fakeldap::Library>& f = fakes_[path];
    if (!f) f.reset(new fakeldap::Library(path));
    return *f;
  }
  std::vector<std::string> texts() const { return sink->texts(); }

  std::map<std::string, std::unique_ptr<fakeldap::Library>> fakes_;
  std::shared_ptr<zev09000003::ZEVMemoryTraceSink> sink =
      std::make_shared<zev09000003::ZEVMemoryTraceSink>();
  fakeldap::Library& lib = fake(fakeldap::zevPath());
};

// Owns the client under test.
class ClientTest : public Test {
 protected:
  void dropClients() override { client_.reset(); }
  // A client of class C (LDAPClient or a subclass) on host:389.
  template <class C = zev09000003::LDAPClient>
  C& make(const char* host = "ldap.example.com", int searchTimeout = 0, int connectTimeout = 0,
          int version = 3, const std::string& driverPath = "",
          const zev09000003::ZEVAgent* agent = nullptr) {
    C* c = new C(host, driverPath.c_str(), agent, 389, version, searchTimeout, connectTimeout);
    client_.reset(c);
    return *c;
  }
  // Through the password-buffer login that the managers use.
  int login(const char* dn = "cn=admin,o=x", const char* password = "secret") {
    return client_->login(zev09000003::ZEVConstString(dn),
                          zev09000003::ZEVASNCBuffer(password, std::strlen(password)));
  }
  std::unique_ptr<zev09000003::LDAPClient> client_;
};

}  // namespace fakeclient

#endif
