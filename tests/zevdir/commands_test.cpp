// zevdir's commands in this process, against a throwaway slapd: what its trace set-up costs.
// A test observer at the plug-in's component and level (256/1) sees every record the plug-in
// hands to the trace there, on or off; a hex dump that the plug-in formatted would be among
// them, since it writes each dump it builds.
#include "commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "options.h"
#include "support/slapd.h"
#include "zevcms.h"

namespace {

using namespace zev09000003;

zev09000003::ZEVCMSGlobal toolkit;

struct Records : ZEVTraceObserver {
  std::vector<std::string> texts;
  void observe(const ZEVTraceRecord& r) override { texts.push_back(r.text); }
  long dumps() const {
    long n = 0;
    for (const std::string& t : texts) n += t.find("HEX\n00000000  ") != std::string::npos;
    return n;
  }
  long decodeFailures() const {
    long n = 0;
    for (const std::string& t : texts) n += t == "decode failed";
    return n;
  }
};

class CommandsTest : public slapdtest::ServerSuite<::testing::Test> {
 protected:
  static void SetUpTestSuite() { server_ = new slapdtest::Server(); }
};

// The entry holds two revocation lists and one damaged value.
TEST_F(CommandsTest, CountsUndecodableValuesAndFormatsDumpsOnlyForATrace) {
  const std::string log = testpki::get().path("commands-trace");
  const struct {
    const char* name;
    std::vector<std::string> flags;
    bool dumps;
  } rows[] = {
      {"no trace", {}, false},
      {"--trace", {"--trace", log}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> words = {"zevdir", "-H", server_->uri()};
    words.insert(words.end(), row.flags.begin(), row.flags.end());
    words.insert(words.end(), {"crls", "cn=Damaged,ou=encodings,o=Example,c=GB"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    zevdir::Options options = zevdir::parseOptions(static_cast<int>(argv.size()), argv.data());

    auto records = std::make_shared<Records>();
    ZEVTrace& trace = ZEVTrace::globalTrace();
    trace.addObserver(256, 1, records);
    std::ostringstream out, err;
    int code = zevdir::runCommand(options, out, err);
    trace.removeObserver(records);
    trace.setSink(nullptr);

    EXPECT_EQ(0, code) << err.str();
    EXPECT_NE(std::string::npos, out.str().find("# revocation list 2 of 2")) << out.str();
    EXPECT_NE(std::string::npos, err.str().find("1 stored value did not decode and was skipped"))
        << err.str();
    EXPECT_EQ(1, records->decodeFailures());
    EXPECT_EQ(row.dumps, records->dumps() == 3) << records->dumps() << " dumps";
    if (!row.dumps) {
      EXPECT_EQ(std::vector<std::string>{"decode failed"}, records->texts);
    }
  }
}

}  // namespace
