// A throwaway slapd for tests, run by scripts/throwaway-slapd: fresh temp folder, loopback port
// (ZEV_TEST_PORT or a free one), LDAPNOINIT=1, a bounded readiness poll, the test directory
// loaded. The destructor stops it; the script's watchdog does when the test process dies.
// Under Wine slapd runs on the Linux side (testsupport::runShell) and the test reaches it
// over loopback; there the watchdog has no Unix process to watch (a Windows process id is
// not one), and scripts/test-windows stops what a crashed test left behind.
#ifndef TESTS_SUPPORT_SLAPD_H
#define TESTS_SUPPORT_SLAPD_H

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/platform.h"
#include "support/sockets.h"
#include "support/testpki.h"

namespace slapdtest {

using testsupport::shellQuoted;

// Runs a shell command; returns its standard output, throws when it fails.
inline std::string runCommand(const std::string& command) {
  testsupport::Outcome outcome = testsupport::runShell(command);
  if (outcome.status != 0) throw std::runtime_error("failed: " + command);
  return outcome.output;
}

struct Options {
  bool retcode = false;             // retcode overlay under ou=RetCodes (cn=slow, ...)
  int sizelimit = 500;              // for everyone but the administrator
  std::string ldapsCert, ldapsKey;  // also listen for ldaps:// (and offer StartTLS) with these
  std::string sizelimitWords;       // slapd's size limit words, in place of sizelimit
  std::string privateDN;            // readable only after a bind, at and below this DN
  std::string ldif;                 // more entries (LDIF text) after the test directory
};

// The entries that production directories add to the test directory (the "production"
// options below): one holder of a user certificate more under ou=people than the size limit
// of five allows, a subtree readable only after a bind holding the CA's revocation lists, a
// referral object and a subtree with a subordinate reference.
inline std::string productionLdif() {
  const testpki::Material& pki = testpki::get();
  std::string ldif;
  std::string user = testpki::toBase64(pki.der("user3"), false);
  for (int i = 1; i <= 4; ++i) {
    ldif += "dn: cn=Extra " + std::to_string(i) +
            ",ou=people,o=Example,c=GB\n"
            "objectClass: inetOrgPerson\ncn: Extra " +
            std::to_string(i) +
            "\nsn: Extra\n"
            "userCertificate;binary:: " +
            user + "\n\n";
  }
  ldif +=
      "dn: ou=private,o=Example,c=GB\nobjectClass: organizationalUnit\nou: private\n\n"
      "dn: cn=Private CA,ou=private,o=Example,c=GB\nobjectClass: organizationalRole\n"
      "objectClass: certificationAuthority\ncn: Private CA\n"
      "cACertificate;binary:: " +
      testpki::toBase64(pki.der("ca"), false) +
      "\n"
      "certificateRevocationList;binary:: " +
      testpki::toBase64(pki.der("crl"), false) +
      "\n"
      "authorityRevocationList;binary:: " +
      testpki::toBase64(pki.der("arl"), false) + "\n\n";
  ldif +=
      "dn: cn=Moved,o=Example,c=GB\nobjectClass: referral\nobjectClass: extensibleObject\n"
      "cn: Moved\nref: ldap://elsewhere.example:389/cn=Moved,o=Example,c=GB\n\n"
      "dn: ou=branches,o=Example,c=GB\nobjectClass: organizationalUnit\nou: branches\n\n"
      "dn: cn=Local,ou=branches,o=Example,c=GB\nobjectClass: inetOrgPerson\ncn: Local\n"
      "sn: Local\nuserCertificate;binary:: " +
      user +
      "\n\n"
      "dn: ou=north,ou=branches,o=Example,c=GB\nobjectClass: referral\n"
      "objectClass: extensibleObject\nou: north\n"
      "ref: ldap://north.example:389/ou=north,ou=branches,o=Example,c=GB\n\n";
  return ldif;
}

// A production-like directory: LDAPS and StartTLS with the test CA's certificate for
// 127.0.0.1 and localhost (OpenLDAP checks "localhost" as the machine's own name, which the
// certificate does not hold), a
// size limit of five that paged searches may go beyond (or not, with pagedTotal false), a
// subtree that needs a bind to read, a referral and a subordinate reference.
inline Options production(bool pagedTotal = true) {
  Options o;
  o.ldapsCert = testpki::get().path("server.pem");
  o.ldapsKey = testpki::get().path("server.key");
  o.sizelimitWords = pagedTotal ? "size.soft=5 size.hard=5 size.prtotal=unlimited" : "5";
  o.privateDN = "ou=private,o=Example,c=GB";
  o.ldif = productionLdif();
  return o;
}

class Server {
 public:
  explicit Server(const Options& options = Options()) {
    // The script makes the folder; it must not exist yet.
    state_ = testsupport::TempDir("zevslapd.").path() + ".state";
    // The test directory over the process's test PKI, made once.
    const std::string& pki = testpki::get().dir();
    static const std::string made = runCommand(
        shellQuoted(ZEV_SOURCE_DIR "/scripts/make-test-directory") + " " + shellQuoted(pki));
    std::string sizelimit =
        options.sizelimitWords.empty() ? std::to_string(options.sizelimit) : options.sizelimitWords;
    std::string command = slapd("start") + owner() + " --sizelimit " + shellQuoted(sizelimit) +
                          " --ldif " +
                          shellQuoted(pki + "/directory.ldif");
    if (!options.ldif.empty()) {
      std::string extra = state_ + ".ldif";
      std::ofstream(extra) << options.ldif;
      command += " --ldif " + shellQuoted(extra);
    }
    if (!options.privateDN.empty()) command += " --private " + shellQuoted(options.privateDN);
    if (options.retcode) command += " --retcode";
    if (!options.ldapsCert.empty()) {
      command += " --ldaps " + shellQuoted(options.ldapsCert) + " " + shellQuoted(options.ldapsKey);
    }
    std::istringstream lines(runCommand(command));
    for (std::string line; std::getline(lines, line);) {
      std::string value = line.substr(line.find('=') + 1);
      if (value[0] == '"') value = value.substr(1, value.size() - 2);
      settings_[line.substr(0, line.find('='))] = value;
    }
  }
  ~Server() {
    if (testsupport::runShell(slapd("stop") + " >/dev/null 2>&1").status != 0) {
      std::fprintf(stderr, "slapd stop failed\n");
    }
    std::remove((state_ + ".ldif").c_str());
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& uri() const { return settings_.at("URI"); }
  const std::string& ldapsUri() const { return settings_.at("LDAPS_URI"); }
  const std::string& ldapiUri() const { return settings_.at("LDAPI_URI"); }
  int port() const { return std::stoi(settings_.at("PORT")); }
  const std::string& adminDN() const { return settings_.at("ADMIN_DN"); }
  const std::string& adminPassword() const { return settings_.at("ADMIN_PASSWORD"); }

  // Stops slapd and starts it again on the same port with the same data.
  void restart() { runCommand(slapd("restart")); }

 private:
  static std::string owner() {
#if defined(_WIN32)
    return "";
#else
    return " --owner " + std::to_string(getpid());
#endif
  }
  std::string slapd(const char* verb) const {
    return shellQuoted(ZEV_SOURCE_DIR "/scripts/throwaway-slapd") + " " + verb + " " +
           shellQuoted(state_);
  }
  std::string state_;
  std::map<std::string, std::string> settings_;
};

// A fixture base with one server for its suite: SetUpTestSuite starts server_, and it is
// stopped after the suite's last test.
template <class Base>
class ServerSuite : public Base {
 public:
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

 protected:
  static inline Server* server_ = nullptr;
};

// A loopback listener whose connections complete in the kernel's backlog and are never read
// or answered: a server that hangs after accepting.
class SilentListener {
 public:
  SilentListener() : fd_(listenOnLoopback(&port_)) {}
  ~SilentListener() { closeSocket(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int port() const { return port_; }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }

 private:
  SocketsStarted started_;  // before the socket
  int port_ = 0;
  Socket fd_;
};

// A loopback port with nobody listening (a listener's, released).
inline int closedPort() { return SilentListener().port(); }

}  // namespace slapdtest

#endif
