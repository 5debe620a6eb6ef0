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

// Observers see their own component and level, on or off, through every write overload, and
// never make the trace active (code that formats texts only for an active trace stays idle).
struct Collector : ZEVTraceObserver {
  std::vector<std::string> seen;
  void observe(const ZEVTraceRecord& r) override {
    seen.push_back(std::to_string(r.component) + "/" + std::to_string(r.level) + " " + r.text);
  }
};

TEST(Trace, ObserversSeeTheirRecordsWithoutActivatingTheTrace) {
  ZEVTrace& trace = ZEVTrace::globalTrace();
  auto collector = std::make_shared<Collector>();
  trace.addObserver(256, 1, collector);
  const struct {
    const char* name;
    bool sink;
    unsigned int component, level;
    std::vector<std::string> seen;
  } rows[] = {
      {"off, observed", false, 256, 1, {"256/1 s", "256/1 c", "256/1 z"}},
      {"off, other level", false, 256, 2, {}},
      {"off, other component", false, 1, 1, {}},
      {"on, observed", true, 256, 1, {"256/1 s", "256/1 c", "256/1 z"}},
      {"on, other level", true, 256, 2, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto sink = std::make_shared<ZEVMemoryTraceSink>();
    trace.setSink(row.sink ? sink : nullptr);
    trace.setLevel(4);
    EXPECT_EQ(row.sink, trace.isActive(256, 1));
    collector->seen.clear();
    trace.write("f", 1, row.component, row.level, std::string("s"));
    trace.write("f", 2, row.component, row.level, "c");
    trace.write("f", 3, row.component, row.level, ZEVString("z"));
    EXPECT_EQ(row.seen, collector->seen);
    // The sink gets what it always got, observed or not.
    EXPECT_EQ(row.sink ? 3u : 0u, sink->texts(row.component, row.level).size());
  }
  trace.setSink(nullptr);
  trace.setLevel(1);
  trace.removeObserver(collector);
  collector->seen.clear();
  trace.write("f", 1, 256, 1, "after removal");
  EXPECT_TRUE(collector->seen.empty());
}
