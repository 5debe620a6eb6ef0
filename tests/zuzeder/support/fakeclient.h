// Fixture over the fake LDAP library variants: every handle given out must come back once.
#ifndef TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H
#define TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ldapclient.h"
#include "support/fakeldap.h"
#include "zevcms.h"

namespace fakeclient {

inline std::string pluginPath() {
  return ZEV_LIBRARY_DIR "/" + testsupport::libraryFile("zev9drld");
}

// "<code> <message>" of the ZEVDIRException f throws, "plain <message>" of another ZEVException.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const zev09000003::ZEVDIRException& e) {
    return std::to_string(e.getError()) + " " + e.getMessage().c_str();
  } catch (const zev09000003::ZEVException& e) {
    return std::string("plain ") + e.getMessage().c_str();
  }
  return "no exception";
}

// The DER encodings in a returned container, which is deleted.
template <class C>
std::vector<std::vector<unsigned char>> ders(C* raw) {
  std::unique_ptr<C> c(raw);
  std::vector<std::vector<unsigned char>> out;
  for (auto* o : *c) {
    const zev09000003::ZEVFastBuffer& d = o->getDEREncoding();
    out.emplace_back(d.getValue(), d.getValue() + d.getLength());
  }
  return out;
}

// lib is "zev9ldap" (the fake with zev_ names); fake() loads further variants.
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
  // Deletes what the test made, before the handles are counted.
  virtual void dropClients() { client_.reset(); }
  void startOver() {
    dropClients();
    for (auto& f : fakes_) {
      EXPECT_EQ(0, f.second->outstanding()) << f.first << ": " << f.second->handleReport();
      EXPECT_EQ(0, f.second->badFrees()) << f.first << ": " << f.second->handleReport();
      f.second->reset();
    }
    sink->clear();
  }
  fakeldap::Library& fake(const std::string& path) {
    std::unique_ptr<fakeldap::Library>& f = fakes_[path];
    if (!f) f.reset(new fakeldap::Library(path));
    return *f;
  }
  // A client of class C on host:389.
  template <class C = zev09000003::LDAPClient>
  C& make(const char* host = "ldap.example.com", int version = 3, int searchTimeout = 0,
          int connectTimeout = 0, const std::string& path = "") {
    client_.reset(new C(host, path.c_str(), nullptr, 389, version, searchTimeout, connectTimeout));
    return static_cast<C&>(*client_);
  }
  int login() { return client_->login("cn=admin,o=x", "secret"); }

  std::map<std::string, std::unique_ptr<fakeldap::Library>> fakes_;
  std::shared_ptr<zev09000003::ZEVMemoryTraceSink> sink =
      std::make_shared<zev09000003::ZEVMemoryTraceSink>();
  fakeldap::Library& lib = fake(fakeldap::zevPath());
  std::unique_ptr<zev09000003::LDAPClient> client_;
};

}  // namespace fakeclient

#endif
