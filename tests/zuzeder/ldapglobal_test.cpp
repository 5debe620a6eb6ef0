// The loadable plug-in: loading registers the factory "zev9drld" and traces the plug-in's
// path, the factory builds managers or refuses bad arguments, unloading removes the entry.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "support/fakeclient.h"

using namespace zev09000003;
namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace {

const char* const kNoPath = "Could not determine where ZuzEder was loaded from";

class LDAPGlobalTest : public fakeclient::Test {
 protected:
  void SetUp() override {
    fakeclient::Test::SetUp();
    ASSERT_EQ(nullptr, ZEVLibraryManager::findLibEntry("zev9drld")) << "plug-in still loaded";
  }
  void dropClients() override { ZEVLibraryManager::unloadLibrary("zev9drld"); }

  ZEVLibraryFunction load() {
    ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
    if (factory == nullptr) ADD_FAILURE() << ZEVLibraryManager::lastError().c_str();
    return factory;
  }
  static std::unique_ptr<ZEVDIRManager> make(ZEVLibraryFunction factory, void* args) {
    return std::unique_ptr<ZEVDIRManager>(static_cast<ZEVDIRManager*>(factory(args)));
  }
};

TEST_F(LDAPGlobalTest, LoadingRegistersTheFactoryAndTracesThePath) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(factory, ZEVLibraryManager::findLibEntry("zev9drld"));

  std::vector<std::string> startup = sink->texts(1, 1);
  ASSERT_EQ(1u, startup.size());
  EXPECT_TRUE(fs::equivalent(startup[0], fakeclient::pluginPath())) << startup[0];

  EXPECT_TRUE(ZEVLibraryManager::unloadLibrary("zev9drld"));
  EXPECT_EQ(nullptr, ZEVLibraryManager::findLibEntry("zev9drld"));
}

TEST_F(LDAPGlobalTest, FactoryRefusesBadArgumentsAndSurfacesAMissingLibrary) {
  ZEVLibraryFunction factory = load();
  ASSERT_NE(nullptr, factory);
  fakeclient::OtherInfo other;
  ZEVDIRConnectInfo::LDAP noLibrary;
  noLibrary.setDriverPath(fakeldap::dir() + "/libnosuchldap.so");
  const struct {
    void* args;
    const char* thrown;
    const char* file;
  } rows[] = {{nullptr, "571002 args cannot be NULL", "./zuzeder/src/ldapglobal"},
              {&other, "571002 args is invalid", "./zuzeder/src/ldapglobal"},
              {&noLibrary, "576001 ", "./zuzeder/src/ldapclient"}};
  for (const auto& row : rows) {
    try {
      make(factory, row.args);
      ADD_FAILURE() << "no exception: " << row.thrown;
    } catch (const ZEVDIRException& e) {
      EXPECT_EQ(row.thrown, std::to_string(e.getError()) + " " + e.what());
      EXPECT_STREQ(row.file, e.getFile()) << row.thrown;
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
  EXPECT_EQ(0, lib.callCount("ldap_init")) << "a new manager is not connected";

  // Each has its own client: each check opens its own session.
  EXPECT_TRUE(first->validateConnection());
  EXPECT_TRUE(second->validateConnection());
  EXPECT_THAT(lib.log("ldap_init("),
              ElementsAre("ldap_init(host=ldap1, port=389)", "ldap_init(host=ldap1, port=389)"));
}

// The path is found through a 260-character buffer: a copy of the plug-in whose full path
// has 259 characters is traced, one whose path has 260 is not. Each copy is loaded in a child
// process, which writes its start-up trace texts to a file.
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
    fs::copy_file(fakeclient::pluginPath(), copy, fs::copy_options::overwrite_existing);

    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      std::ofstream out(base / "texts");
      if (GetModuleHandleA("zev9drld.dll") != nullptr) {
        out << "plug-in already loaded in the test process";
      } else {
        sink->clear();
        if (dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) out << dlerror();
        for (const std::string& t : sink->texts(1, 1)) out << t << "\n";
      }
      _exit(out.flush() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(base / "texts");
    const std::string got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ((length < 260 ? copy : std::string(kNoPath)) + "\n", got);
  }
  fs::remove_all(base);
}

}  // namespace
