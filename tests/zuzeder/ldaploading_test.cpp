// Loading of the LDAP library and binding of its function table by LDAPClient.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ldapclient.h"
#include "support/fakeclient.h"

using namespace zev09000003;
using fakeclient::thrown;
using ::testing::ElementsAre;

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

void* field(const LDAPSymbolTable& table, int i) {
  void* p;
  std::memcpy(&p, reinterpret_cast<const char*>(&table) + i * sizeof(void*), sizeof(p));
  return p;
}

const char kHostLine[] =
    "host: ldap.example.com , port: 389 , ver: 3 , search timeout (zero means none): 0 , "
    "connect timeout (zero means none): 0";

// True while some handle keeps the library loaded.
bool loaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h != nullptr) dlclose(h);
  return h != nullptr;
}

struct Road {
  const char* name;
  std::string (*libPath)();
  bool driverPath;
  const char* prefix;
  int bound;  // functions found
};

class LoadingRoads : public fakeclient::Test, public ::testing::WithParamInterface<Road> {};

TEST_P(LoadingRoads, BindsEveryFunctionUnderItsName) {
  const Road& road = GetParam();
  fake(road.libPath());
  void* self = dlopen(road.libPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(nullptr, self);
  {
    LDAPClient client(kHost, road.driverPath ? road.libPath().c_str() : "", nullptr, 389, 3, 0, 0);
    EXPECT_EQ(road.driverPath, client.isUsingDriverPath());
    EXPECT_NE(nullptr, client.getLibraryHandle());
    LDAPSymbolTable table = client.getSymbolTable();
    int bound = 0;
    for (int i = 0; i < 25; ++i) {
      std::string symbol = std::string(road.prefix) + kNames[i];
      EXPECT_EQ(dlsym(self, symbol.c_str()), field(table, i)) << symbol;
      bound += field(table, i) != nullptr;
    }
    EXPECT_EQ(road.bound, bound);
  }
  dlclose(self);
}

// Without the optional ldap_url_search_st, ldap_url_parse, ldap_free_urldesc, ldap_get_errno
// and ldap_ber_free.
INSTANTIATE_TEST_SUITE_P(
    Loading, LoadingRoads,
    ::testing::Values(Road{"DefaultLibraryWithZevNames", fakeldap::zevPath, false, "zev_", 25},
                      Road{"DriverPathWithStandardNames", fakeldap::standardPath, true, "", 25},
                      Road{"WithoutOptionalFunctions", fakeldap::noOptionalPath, true, "", 20}),
    fakeclient::RowName());

using LoadingTest = fakeclient::Test;

TEST_F(LoadingTest, MissingRequiredFunctionReleasesLibraryAndStopsLooking) {
  const std::string path = fakeldap::noSearchPath();
  {
    fakeldap::Library nosearch(path);
    EXPECT_EQ("576001 ", thrown([&] { LDAPClient c(kHost, path.c_str(), nullptr, 389, 3, 0, 0); }));
  }
  // Nothing looked up after the missing function: the trace ends with its message.
  EXPECT_THAT(texts(), ElementsAre(kHostLine, "Driver Path: " + path,
                                   "ldap_search_st symbol not defined in library"));
  EXPECT_FALSE(loaded(path)) << "the client kept the library loaded";
}

TEST_F(LoadingTest, MissingOptionalFunctionsOnlyWarn) {
  const std::string path = fakeldap::noOptionalPath();
  fake(path);
  LDAPClient client(kHost, path.c_str(), nullptr, 389, 3, 0, 0);
  EXPECT_THAT(
      texts(),
      ElementsAre(kHostLine, "Driver Path: " + path,
                  "Warning: ldap_ber_free not defined in library - Window implementation?",
                  "Warning: ldap_get_errno not defined in library - Window implementation?"));
}

TEST_F(LoadingTest, LibraryThatCannotBeOpenedFailsWithEmptyMessage) {
  const std::string path = fakeldap::dir() + "/libdoesnotexist.so";
  EXPECT_EQ("576001 ", thrown([&] { LDAPClient c(kHost, path.c_str(), nullptr, 389, 3, 0, 0); }));
  EXPECT_TRUE(sink->contains("Failed to open LDAP shared library client"));
}

}  // namespace
