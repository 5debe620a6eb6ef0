// The loaded plug-in when the server misbehaves, on both roads to an LDAP library: a restart
// under a live manager, a listener that accepts and never answers, a search slowed beyond its
// time limit, a subtree beyond the size limit and a value beyond the incoming-message cap.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "plugin.h"

namespace plugintest {
namespace {

// The retry message of the directory manager, with its terminating zero character.
const std::string kRetrying("Error(81) from ldap_search().  Can't contact LDAP server  Retrying.",
                            sizeof "Error(81) from ldap_search().  Can't contact LDAP server  "
                                   "Retrying.");

// Runs work in a child process and reports whether it was still running after the given
// time (the child is then killed). For calls that are expected to hang.
bool stillRunningAfter(double seconds, const std::function<void()>& work) {
  pid_t child = fork();
  if (child == 0) {
    work();
    _exit(0);
  }
  auto start = std::chrono::steady_clock::now();
  while (secondsSince(start) < seconds) {
    if (waitpid(child, nullptr, WNOHANG) == child) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return true;
}

class FaultsTest : public slapdtest::ServerSuite<::testing::TestWithParam<Road>> {
 protected:
  static void SetUpTestSuite() {
    slapdtest::Options options;
    options.retcode = true;
    options.sizelimit = 5;  // the managers below bind anonymously, so the limit holds
    server_ = new slapdtest::Server(options);
  }
  ZEVDIRConnectInfo::LDAP info(int port = 0) const {
    return connectInfo(GetParam(), port != 0 ? port : server_->port());
  }
  // The code in a failure message: "rc=81" on our road, OpenLDAP's own "rc=-1" on the other.
  std::string rc(int classic) const {
    return "rc=" + std::to_string(GetParam().ours() ? classic : 80 - classic);
  }
};

TEST_P(FaultsTest, RestartUnderALiveManager) {
  TraceCapture trace;
  std::unique_ptr<ZEVDIRManager> manager = Plugin::get().manager(info());
  ASSERT_EQ(Ders{"crl"}, ders(manager->getCRLs(dn(kCA))));
  server_->restart();
  if (GetParam().ours()) {
    // The dead session answers 81, the manager retries once on a fresh session.
    EXPECT_EQ(Ders{"crl"}, ders(manager->getCRLs(dn(kCA))));
    EXPECT_EQ(1, trace.count(kRetrying));
    return;
  }
  // The system's libldap reports a dead server as -1, not as the classic 81 that the manager
  // retries on; and OpenLDAP's session stays dead after the restart. So this road fails, and
  // keeps failing for the manager's life: every fetch gives 576004 with rc=-1, and nothing is
  // retried. A fresh manager works again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THAT(failureOf([&] { ders(manager->getCRLs(dn(kCA))); }),
                AllOf(StartsWith("576004 "), HasSubstr("rc=-1")));
  }
  EXPECT_EQ(0, trace.count(kRetrying));
  EXPECT_EQ(Ders{"crl"}, ders(Plugin::get().manager(info())->getCRLs(dn(kCA))));
}

TEST_P(FaultsTest, SilentServerCostsAtMostTheConfiguredTimes) {
  slapdtest::SilentListener silent;
  ZEVDIRConnectInfo::LDAP connect = info(silent.port());
  connect.setConnectTimeout(1);
  connect.setSearchTimeout(1);
  std::unique_ptr<ZEVDIRManager> manager = Plugin::get().manager(connect);
  if (!GetParam().ours()) {
    // The system's libldap does not know option 70, so the connect timeout is never set (the
    // client only traces that) and the bind waits for an answer that never comes.
    EXPECT_TRUE(stillRunningAfter(3.0, [&] { manager->validateConnection(); }));
    return;
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(failureOf([&] { manager->validateConnection(); }),
              AllOf(StartsWith("576002 "), HasSubstr("rc=85")));
  EXPECT_LT(secondsSince(start), 2.5);

  // A URL search opens no bind: it is the search that meets the silence.
  start = std::chrono::steady_clock::now();
  std::string url = silent.uri() + kCrlPath;
  EXPECT_THAT(failureOf([&] { ders(manager->getViaURI(url.c_str())); }),
              AllOf(StartsWith("576004 "), HasSubstr("rc=85")));
  EXPECT_LT(secondsSince(start), 2.5);
}

TEST_P(FaultsTest, SlowSearchEndsAtTheSearchTimeLimit) {
  ZEVDIRConnectInfo::LDAP connect = info();
  connect.setSearchTimeout(1);  // retcode's cn=slow answers after 5 s
  std::unique_ptr<ZEVDIRManager> manager = Plugin::get().manager(connect);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(failureOf([&] { ders(manager->getCRLs(dn("cn=slow,ou=RetCodes,o=Example,c=GB"))); }),
              AllOf(StartsWith("576004 "), HasSubstr(rc(85))));
  EXPECT_LT(secondsSince(start), 2.5);
  // The session outlives the timed-out search.
  EXPECT_EQ(Ders{"crl"}, ders(manager->getCRLs(dn(kCA))));
}

TEST_P(FaultsTest, SubtreeBeyondTheSizeLimit) {
  // Seven entries below o=Example,c=GB hold a user certificate; slapd sends five, then 4.
  for (int level : {0, 2}) {
    SCOPED_TRACE(level);
    ZEVDIRConnectInfo::LDAP connect = info();
    connect.setErrorLevel(level);
    std::unique_ptr<ZEVDIRManager> manager = Plugin::get().manager(connect);
    Ders found{"none"};
    std::string failure =
        failureOf([&] { found = ders(manager->getUserCertificates(dn("o=Example,c=GB"))); });
    if (level == 0) {
      EXPECT_THAT(failure, AllOf(StartsWith("576004 "), HasSubstr("rc=4.")));
    } else {
      EXPECT_EQ("", failure);
      EXPECT_EQ(Ders(), found);  // a failed search reads no entries, even partial ones
    }
  }
}

TEST_P(FaultsTest, ValueBeyondTheIncomingCap) {
  TraceCapture trace;
  // The CA entry's answer with its ARL and CRL is larger than 512 bytes.
  setenv("ZEV_LDAP_MAX_INCOMING", "512", 1);
  std::unique_ptr<ZEVDIRManager> manager = Plugin::get().manager(info());
  Ders found{"none"};
  std::string failure = failureOf([&] { found = ders(manager->getARLs(dn(kCA))); });
  unsetenv("ZEV_LDAP_MAX_INCOMING");
  if (GetParam().ours()) {
    // Our library drops the connection rather than take the message: the session is dead
    // (81), the manager retries once on a fresh session, meets the same cap, and gives up.
    EXPECT_THAT(failure, AllOf(StartsWith("576004 "), HasSubstr("rc=81")));
    EXPECT_EQ(1, trace.count(kRetrying));
  } else {
    // The cap is ours: the system's libldap takes any size.
    EXPECT_EQ("", failure);
    EXPECT_EQ((Ders{"arl", "crl"}), found);
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, FaultsTest, ::testing::ValuesIn(kRoads), roadName);

}  // namespace
}  // namespace plugintest
