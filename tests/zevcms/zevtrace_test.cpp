// The trace facility: off by default, sinks, filters and the line format of the file sink.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include "zevcms.h"

using namespace zev09000003;

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace().setSink(sink_);
    trace().setLevel(1);
    trace().setComponents({});
  }
  void TearDown() override {
    trace().setSink(nullptr);
    trace().setLevel(1);
    trace().setComponents({});
  }
  static ZEVTrace& trace() { return ZEVTrace::globalTrace(); }
  std::shared_ptr<ZEVMemoryTraceSink> sink_ = std::make_shared<ZEVMemoryTraceSink>();
};

TEST(TraceDefault, OffWithoutZevTrace) {
  ASSERT_EQ(std::getenv("ZEV_TRACE"), nullptr) << "run without ZEV_TRACE";
  EXPECT_FALSE(ZEVTrace::globalTrace().isActive(1, 1));
  EXPECT_FALSE(ZEVTrace::globalTrace().isActive(256, 1));
  EXPECT_EQ(ZEVTrace::globalTrace().getSink(), nullptr);
}

TEST_F(TraceTest, MemorySinkKeepsExactTextsZeroBytesIncluded) {
  trace().write("f.cpp", 10, 256, 1, "plain");
  trace().write("f.cpp", 11, 256, 1, ZEVString(std::string("a\0b", 3)));
  trace().write("f.cpp", 12, 1, 1, std::string("other component"));
  trace().write("f.cpp", 13, 256, 2, "above the level");
  EXPECT_EQ(sink_->texts(256, 1), (std::vector<std::string>{"plain", std::string("a\0b", 3)}));
  EXPECT_EQ(sink_->texts(1, 1), (std::vector<std::string>{"other component"}));
  EXPECT_FALSE(sink_->contains("above the level"));
  EXPECT_EQ(sink_->records()[0].file, "f.cpp");
  EXPECT_EQ(sink_->records()[0].line, 10);
}

TEST_F(TraceTest, SentryWritesEntryAndExitAtLevelFour) {
  { ZEVTraceSentry quiet("s.cpp", 1, 256, "quiet"); }
  EXPECT_TRUE(sink_->records().empty());  // level 1 hides scope lines
  trace().setLevel(4);
  { ZEVTraceSentry sentry("s.cpp", 2, 256, "LDAPClient::login(*)"); }
  ASSERT_EQ(sink_->records().size(), 2u);
  EXPECT_EQ(sink_->records()[0].text, "Entry: LDAPClient::login(*)");
  EXPECT_EQ(sink_->records()[1].text, "Exit: LDAPClient::login(*)");
  EXPECT_EQ(sink_->records()[1].level, ZEVTrace::kScopeLevel);
  EXPECT_TRUE(sink_->texts(256, 4).empty());  // scope lines are not messages
  EXPECT_FALSE(sink_->contains("Entry: LDAPClient::login(*)"));
}

TEST_F(TraceTest, ExceptionTracesItself) {
  ZEVDIRException e("./zuzeder/src/ldapclient", 42, 576004, "search failed");
  ZEVDIRException copy(e);
  copy.trace("catch.cpp", 7, 256, trace());
  EXPECT_EQ(sink_->texts(256, 1),
            (std::vector<std::string>{
                "ZEVDIRException 576004 (0x8CA04) thrown at ./zuzeder/src/ldapclient:42: "
                "search failed"}));
  EXPECT_EQ(sink_->records()[0].file, "catch.cpp");
}

TEST(TraceEnvironment, FileSinkWritesOneLinePerRecord) {
  char path[] = "/tmp/zevtrace.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("ZEV_TRACE", path, 1);
  setenv("ZEV_TRACE_LEVEL", "2", 1);
  setenv("ZEV_TRACE_COMPONENTS", "1,256", 1);
  ZEVTrace& t = ZEVTrace::globalTrace();
  t.configureFromEnvironment();
  EXPECT_TRUE(t.isActive(256, 2));
  EXPECT_FALSE(t.isActive(256, 3));
  EXPECT_FALSE(t.isActive(7, 1));
  t.write("./zuzeder/src/ldapsearch", 99, 256, 2, std::string("with\0zero", 9));
  t.write("x", 1, 7, 1, "not written");
  unsetenv("ZEV_TRACE");
  unsetenv("ZEV_TRACE_LEVEL");
  unsetenv("ZEV_TRACE_COMPONENTS");
  t.configureFromEnvironment();  // back to off; closes the file
  EXPECT_FALSE(t.isActive(256, 1));
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path);
  EXPECT_TRUE(std::regex_match(all, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                               "\\[256/2\\] \\./zuzeder/src/ldapsearch:99 "
                                               "withzero\n")))
      << all;
}

}  // namespace
