// Library loading: the factory registry, the search order of ZEV_LIBRARY_PATH, and the
// module lookup a plug-in uses to find its own file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zevcms.h"

using namespace zev09000003;

namespace {

const std::string kLibs = ZEVCMS_TEST_LIBS;

class LibraryTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("ZEV_LIBRARY_PATH"); }
};

void* localFactory(void*) { return nullptr; }

TEST_F(LibraryTest, RegistryAddsFindsAndRemoves) {
  ZEVLibraryManager::addLibEntry("zevtest.a", localFactory);
  ZEVLibraryManager::addLibEntry("zevtest.b", localFactory);
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtest.a"), &localFactory);
  ZEVLibraryManager::removeLibEntries(localFactory);
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtest.a"), nullptr);
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtest.b"), nullptr);
}

TEST_F(LibraryTest, PluginRegistersWhenLoadedAndLeavesWhenUnloaded) {
  setenv("ZEV_LIBRARY_PATH", (kLibs + "/plugin").c_str(), 1);
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtestplugin"), nullptr);
  EXPECT_EQ(GetModuleHandleA("zevtestplugin.dll"), nullptr);
  ZEVLibraryFunction f = ZEVLibraryManager::getLibraryFunction("zevtestplugin");
  ASSERT_NE(f, nullptr) << ZEVLibraryManager::lastError();
  EXPECT_STREQ(static_cast<const char*>(f(nullptr)), "made by zevtestplugin");
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtestplugin"), f);

  // The plug-in finds its own file, with the Windows buffer contract.
  HMODULE module = GetModuleHandleA("zevtestplugin.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetModuleHandleA("libzevtestplugin.so"), module);
  char path[260];
  unsigned long n = GetModuleFileNameA(module, path, sizeof path);
  const std::string expected = kLibs + "/plugin/libzevtestplugin.so";
  EXPECT_EQ(std::string(path), expected);
  EXPECT_EQ(n, expected.size());
  char small[10];
  EXPECT_EQ(GetModuleFileNameA(module, small, sizeof small), sizeof small);
  EXPECT_EQ(std::string(small), expected.substr(0, 9));

  EXPECT_TRUE(ZEVLibraryManager::unloadLibrary("zevtestplugin"));
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtestplugin"), nullptr);
  EXPECT_EQ(GetModuleHandleA("zevtestplugin.dll"), nullptr);
  EXPECT_FALSE(ZEVLibraryManager::unloadLibrary("zevtestplugin"));
}

TEST_F(LibraryTest, FirstFolderOfTheSearchPathWins) {
  struct {
    const char* path;
    const char* copy;
  } rows[] = {
      {"/nonexistent:{}/first:{}/second", "first"},
      {"{}/second:{}/first", "second"},
      {"::{}/first", "first"},
  };
  for (const auto& row : rows) {
    std::string path = row.path;
    for (std::size_t p; (p = path.find("{}")) != std::string::npos;) path.replace(p, 2, kLibs);
    setenv("ZEV_LIBRARY_PATH", path.c_str(), 1);
    void* handle = ZEVLibraryManager::loadLibraryReally("zevtestpick", "");
    ASSERT_NE(handle, nullptr) << ZEVLibraryManager::lastError();
    void* symbol = nullptr;
    ASSERT_EQ(zev_get_func_address(handle, "zev_test_copy", &symbol), 0);
    EXPECT_STREQ(reinterpret_cast<const char* (*)()>(symbol)(), row.copy) << path;
    EXPECT_NE(zev_get_func_address(handle, "no_such_symbol", &symbol), 0);
    EXPECT_EQ(symbol, nullptr);
    zev_free_library(handle);
  }
}

TEST_F(LibraryTest, MissingLibraryGivesNullAndAReason) {
  setenv("ZEV_LIBRARY_PATH", (kLibs + "/plugin").c_str(), 1);
  EXPECT_EQ(ZEVLibraryManager::loadLibraryReally("zevnosuchlibrary", ""), nullptr);
  EXPECT_NE(ZEVLibraryManager::lastError().find("libzevnosuchlibrary.so"), ZEVString::npos)
      << ZEVLibraryManager::lastError();
  EXPECT_EQ(ZEVLibraryManager::getLibraryFunction("zevnosuchlibrary"), nullptr);
  EXPECT_EQ(ZEVLibraryManager::loadLibraryReally("../zevtestplugin", ""), nullptr);
  void* handle = reinterpret_cast<void*>(1);
  EXPECT_NE(zev_load_library("/nonexistent/libx.so", &handle), 0);
  EXPECT_EQ(handle, nullptr);
  zev_free_library(nullptr);
  EXPECT_EQ(GetModuleHandleA("nosuchmodule.dll"), nullptr);
}

}  // namespace
