// Test fixture for the plug-in's LDAP client over a variant of the fake LDAP library: installs
// an in-memory trace sink, loads the fake, and at the end checks that every handle the fake gave
// out came back exactly once. Header only.
#ifndef TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H
#define TESTS_ZUZEDER_SUPPORT_FAKECLIENT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/fakeldap.h"
#include "zevcms.h"

namespace fakeclient {

// Lets a test binary run outside ctest too: "zev9ldap" is the fake with "zev_" names.
struct LibraryPath : ::testing::Environment {
  void SetUp() override { setenv("ZEV_LIBRARY_PATH", fakeldap::zevDir().c_str(), 0); }
};

inline std::string zevPath() { return fakeldap::zevPath(); }

// Runs f, which should throw a ZEVDIRException, and returns "<code> <message>".
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const zev09000003::ZEVDIRException& e) {
    return std::to_string(e.getError()) + " " + e.getMessage().c_str();
  }
  return "no exception";
}

// PathFn names the fake variant the fixture loads.
template <std::string (*PathFn)()>
class Test : public ::testing::Test {
 protected:
  Test() : lib(PathFn()), sink(std::make_shared<zev09000003::ZEVMemoryTraceSink>()) {}
  void SetUp() override {
    zev09000003::ZEVTrace::globalTrace().setSink(sink);
    zev09000003::ZEVTrace::globalTrace().setLevel(1);
  }
  void TearDown() override {
    dropClients();
    EXPECT_EQ(0, lib.outstanding()) << lib.handleReport();
    EXPECT_EQ(0, lib.badFrees()) << lib.handleReport();
    zev09000003::ZEVTrace::globalTrace().setSink(nullptr);
  }
  // Fixtures that own clients delete them here, before the handles are counted.
  virtual void dropClients() {}

  std::vector<std::string> texts() const { return sink->texts(256, 1); }

  fakeldap::Library lib;
  std::shared_ptr<zev09000003::ZEVMemoryTraceSink> sink;
};

}  // namespace fakeclient

#endif
