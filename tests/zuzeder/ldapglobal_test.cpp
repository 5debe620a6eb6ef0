// The loadable plug-in: loading registers the factory "zev9drld" and traces the plug-in's
// path, the factory builds managers or refuses bad arguments, unloading removes the entry.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "support/fakeldap.h"
#include "zevcms.h"

using namespace zev09000003;
namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace {

struct LibraryPath : ::testing::Environment {
  void SetUp() override { setenv("ZEV_LIBRARY_PATH", fakeldap::zevDir().c_str(), 0); }
};
const ::testing::Environment* const kLibraryPath =
    ::testing::AddGlobalTestEnvironment(new LibraryPath);

const char* const kNoPath = "Could not determine where ZuzEder was loaded from";

std::string pluginPath() {
  const char* dir = std::getenv("ZEV_PLUGIN_DIR");
  return std::string(dir != nullptr ? dir : ZEV_BUILD_DIR "/lib") + "/libzev9drld.so";
}

// Connection information of another kind.
class OtherInfo : public ZEVDIRConnectInfo::OBJECT {
 public:
  OBJECT* clone() const override { return new OtherInfo(); }
};

class LDAPGlobalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<ZEVMemoryTraceSink>();
    ZEVTrace::globalTrace().setSink(sink_);
    ZEVTrace::globalTrace().setLevel(1);
    ASSERT_EQ(nullptr, ZEVLibraryManager::findLibEntry("zev9drld")) << "plug-in still loaded";
  }
  void TearDown() override {
    ZEVLibraryManager::unloadLibrary("zev9drld");
    ZEVTrace::globalTrace().setSink(nullptr);
    EXPECT_EQ(0, fake_.outstanding()) << fake_.handleReport();
    EXPECT_EQ(0, fake_.badFrees()) << fake_.handleReport();
  }

  ZEVLibraryFunction load() {
    ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
    if (factory == nullptr) ADD_FAILURE() << ZEVLibraryManager::lastError().c_str();
    return factory;
  }
  static std::unique_ptr<ZEVDIRManager> make(ZEVLibraryFunction factory, void* args) {
    return std::unique_ptr<ZEVDIRManager>(static_cast<ZEVDIRManager*>(factory(args)));
  }

  fakeldap::Library fake_{fakeldap::zevPath()};
  std::shared_ptr<ZEVMemoryTraceSink> sink_;
};

TEST_F(LDAPGlobalTest, LoadingRegistersTheFactoryAndTracesThePath) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(factory, ZEVLibraryManager::findLibEntry("zev9drld"));

  std::vector<std::string> startup = sink_->texts(1, 1);
  ASSERT_EQ(1u, startup.size());
  EXPECT_TRUE(fs::equivalent(startup[0], pluginPath())) << startup[0];

  EXPECT_TRUE(ZEVLibraryManager::unloadLibrary("zev9drld"));
  EXPECT_EQ(nullptr, ZEVLibraryManager::findLibEntry("zev9drld"));
}

TEST_F(LDAPGlobalTest, FactoryRefusesNullAndForeignArguments) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  OtherInfo other;
  const struct {
    void* args;
    const char* message;
  } rows[] = {{nullptr, "args cannot be NULL"}, {&other, "args is invalid"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    try {
      make(factory, row.args);
      ADD_FAILURE() << "no exception";
    } catch (const ZEVDIRException& e) {
      EXPECT_EQ(571002, e.getError());
      EXPECT_STREQ(row.message, e.what());
      EXPECT_STREQ("./zuzeder/src/ldapglobal", e.getFile());
    }
  }
}

TEST_F(LDAPGlobalTest, EveryCallGivesANewUnconnectedManager) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  std::unique_ptr<ZEVDIRConnectInfo::LDAP> info(new ZEVDIRConnectInfo::LDAP("ldap1", 389));
  std::unique_ptr<ZEVDIRManager> first = make(factory, info.get());
  std::unique_ptr<ZEVDIRManager> second = make(factory, info.get());
  info.reset();  // the caller keeps ownership of its argument; the managers hold copies

  ASSERT_NE(first.get(), second.get());
  EXPECT_EQ(ZEVString("LDAPDIRManager"), first->getClassName());
  EXPECT_EQ(0, fake_.callCount("ldap_init")) << "a new manager is not connected";

  // Each has its own client: each check opens its own session.
  EXPECT_TRUE(first->validateConnection());
  EXPECT_TRUE(second->validateConnection());
  EXPECT_THAT(fake_.log("ldap_init("),
              ElementsAre("ldap_init(host=ldap1, port=389)", "ldap_init(host=ldap1, port=389)"));
}

TEST_F(LDAPGlobalTest, MissingDriverLibrarySurfacesFromTheFactory) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  ZEVDIRConnectInfo::LDAP info;
  info.setDriverPath(fakeldap::dir() + "/libnosuchldap.so");
  try {
    make(factory, &info);
    ADD_FAILURE() << "no exception";
  } catch (const ZEVDIRException& e) {
    EXPECT_EQ(576001, e.getError());
  }
}

// The path is found through a 260-character buffer: a copy of the plug-in whose full path
// has 259 characters is traced, one whose path has 260 is not. Each copy is loaded in a child
// process, which reports its start-up trace texts through a pipe.
TEST_F(LDAPGlobalTest, ModulePathMustFitIn260Characters) {
  char tmpl[] = "/tmp/zevpath.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const fs::path base = fs::canonical(tmpl);
  const std::string file = "libzev9drld.so";

  for (size_t length : {259u, 260u}) {
    SCOPED_TRACE(length);
    const size_t pad = length - base.string().size() - 2 - file.size();
    ASSERT_LT(pad, 256u) << "temporary folder path too long for this test";
    const fs::path dir = base / std::string(pad, 'p');
    fs::create_directory(dir);
    const std::string copy = (dir / file).string();
    ASSERT_EQ(length, copy.size());
    fs::copy_file(pluginPath(), copy, fs::copy_options::overwrite_existing);

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      close(fds[0]);
      std::string out;
      if (GetModuleHandleA("zev9drld.dll") != nullptr) {
        out = "plug-in already loaded in the test process";
      } else {
        auto sink = std::make_shared<ZEVMemoryTraceSink>();
        ZEVTrace::globalTrace().setSink(sink);
        void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) {
          out = std::string("dlopen failed: ") + dlerror();
        } else {
          for (const std::string& t : sink->texts(1, 1)) out += t + "\n";
        }
      }
      ssize_t written = write(fds[1], out.data(), out.size());
      _exit(written == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, n);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ((length < 260 ? copy : std::string(kNoPath)) + "\n", got);
  }
  fs::remove_all(base);
}

}  // namespace
