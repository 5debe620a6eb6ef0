// Host services: loading libraries along ZEV_LIBRARY_PATH, factories by name, and the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "support/platform.h"
#include "zevcms.h"

using namespace zev09000003;
using testsupport::setEnv;
using testsupport::unsetEnv;

namespace {

const std::string kLibs = ZEVCMS_TEST_LIBS;

TEST(Library, FirstFolderOfTheSearchPathWins) {
  const std::string sep(1, testsupport::kPathListSeparator);
  const std::string rows[][2] = {
      {"/nonexistent" + sep + kLibs + "/first" + sep + kLibs + "/second", "first"},
      {kLibs + "/second" + sep + kLibs + "/first", "second"},
  };
  for (const auto& row : rows) {
    setEnv("ZEV_LIBRARY_PATH", row[0]);
    void* handle = ZEVLibraryManager::loadLibraryReally("zevtestpick", "");
    void* symbol = nullptr;
    ASSERT_EQ(zev_get_func_address(handle, "zev_test_copy", &symbol), 0) << row[0];
    EXPECT_EQ(reinterpret_cast<const char* (*)()>(symbol)(), row[1]) << row[0];
    zev_free_library(handle);
  }
  unsetEnv("ZEV_LIBRARY_PATH");
}

TEST(Library, FactoryIsFoundByNameWhileItsPluginIsLoaded) {
  setEnv("ZEV_LIBRARY_PATH", kLibs + "/plugin");
  ZEVLibraryFunction f = ZEVLibraryManager::getLibraryFunction("zevtestplugin");
  ASSERT_NE(f, nullptr) << ZEVLibraryManager::lastError();
  EXPECT_STREQ(static_cast<const char*>(f(nullptr)), "made by zevtestplugin");
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtestplugin"), f);
  EXPECT_TRUE(ZEVLibraryManager::unloadLibrary("zevtestplugin"));
  EXPECT_EQ(ZEVLibraryManager::findLibEntry("zevtestplugin"), nullptr);
  unsetEnv("ZEV_LIBRARY_PATH");
}

TEST(Trace, OffWithoutZevTraceAndExactInTheMemorySink) {
  ZEVTrace& trace = ZEVTrace::globalTrace();
  ASSERT_EQ(std::getenv("ZEV_TRACE"), nullptr) << "run without ZEV_TRACE";
  EXPECT_FALSE(trace.isActive(256, 1));
  auto sink = std::make_shared<ZEVMemoryTraceSink>();
  trace.setSink(sink);
  trace.write("f.cpp", 11, 256, 1, ZEVString(std::string("a\0b", 3)));
  ZEVDIRException("./zuzeder/src/ldapclient", 42, 576004, "search failed")
      .trace("catch.cpp", 7, 256, trace);
  trace.setSink(nullptr);
  EXPECT_EQ(sink->texts(256, 1),
            (std::vector<std::string>{std::string("a\0b", 3),
                                      "ZEVDIRException 576004 (0x8CA04) thrown at "
                                      "./zuzeder/src/ldapclient:42: search failed"}));
}

TEST(Trace, ZevTraceWritesOneLinePerRecordToTheFile) {
  testsupport::TempDir dir;
  const std::string path = dir.file("trace");
  setEnv("ZEV_TRACE", path);
  setEnv("ZEV_TRACE_LEVEL", "2");
  ZEVTrace& t = ZEVTrace::globalTrace();
  t.configureFromEnvironment();
  t.write("./zuzeder/src/ldapsearch", 99, 256, 2, std::string("with\0zero", 9));
  t.write("x", 1, 256, 3, "above the level");
  unsetEnv("ZEV_TRACE");
  unsetEnv("ZEV_TRACE_LEVEL");
  t.configureFromEnvironment();  // off again; closes the file
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string stamp = all.substr(0, 24);
  for (char& c : stamp) c = std::isdigit(static_cast<unsigned char>(c)) ? '9' : c;
  EXPECT_EQ("9999-99-99 99:99:99.999 ", stamp) << all;
  EXPECT_EQ("[256/2] ./zuzeder/src/ldapsearch:99 withzero\n",
            all.substr(std::min<size_t>(24, all.size())));
}

}  // namespace
