// A throwaway slapd for integration tests, run through scripts/throwaway-slapd: fresh temp
// folder, loopback port (ZEV_TEST_PORT or a free one), the test directory loaded with slapadd,
// stopped by the destructor. The script's watchdog also stops it when the test process dies
// without running destructors (a crash, a ctest timeout), so no slapd outlives its test.
#ifndef TESTS_SUPPORT_SLAPD_H
#define TESTS_SUPPORT_SLAPD_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/testpki.h"

namespace slapdtest {

inline std::string scriptPath(const std::string& name) {
  return std::string(ZEV_SOURCE_DIR) + "/scripts/" + name;
}

// Runs a shell command; returns its standard output, throws when it fails.
inline std::string runCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  if (status != 0) throw std::runtime_error("failed (" + std::to_string(status) + "): " + command);
  return out;
}

inline std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The test directory (scripts/make-test-directory) over the process's test PKI: its LDIF.
inline const std::string& directoryLdif() {
  static std::once_flag once;
  static std::string path;
  std::call_once(once, [] {
    const std::string& dir = testpki::get().dir();
    runCommand(shellQuoted(scriptPath("make-test-directory")) + " " + shellQuoted(dir));
    path = dir + "/directory.ldif";
  });
  return path;
}

struct Options {
  std::string ldif = directoryLdif();  // loaded before the start; empty: no data
  bool retcode = false;                // retcode overlay under ou=RetCodes (cn=slow, ...)
  int sizelimit = 500;                 // for everyone but the administrator
  std::string ldapsCert, ldapsKey;     // also listen for ldaps:// with these
};

class Server {
 public:
  explicit Server(const Options& options = Options()) {
    char tmpl[] = "/tmp/zevslapd.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    state_ = tmpl;
    std::string command = shellQuoted(scriptPath("throwaway-slapd")) + " start " +
                          shellQuoted(state_) + " --owner " + std::to_string(getpid()) +
                          " --sizelimit " + std::to_string(options.sizelimit);
    if (!options.ldif.empty()) command += " --ldif " + shellQuoted(options.ldif);
    if (options.retcode) command += " --retcode";
    if (!options.ldapsCert.empty()) {
      command += " --ldaps " + shellQuoted(options.ldapsCert) + " " + shellQuoted(options.ldapsKey);
    }
    readSettings(runCommand(command));
  }
  ~Server() { stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& uri() const { return settings_.at("URI"); }
  const std::string& ldapsUri() const { return settings_.at("LDAPS_URI"); }
  const std::string& ldapiUri() const { return settings_.at("LDAPI_URI"); }
  int port() const { return std::atoi(settings_.at("PORT").c_str()); }
  int ldapsPort() const { return std::atoi(settings_.at("LDAPS_PORT").c_str()); }
  const std::string& baseDN() const { return settings_.at("BASE"); }
  const std::string& adminDN() const { return settings_.at("ADMIN_DN"); }
  const std::string& adminPassword() const { return settings_.at("ADMIN_PASSWORD"); }

  // Stops slapd and starts it again on the same port with the same data.
  void restart() {
    runCommand(shellQuoted(scriptPath("throwaway-slapd")) + " restart " + shellQuoted(state_));
  }

  // Stops slapd and removes its folder; safe to call twice.
  void stop() {
    if (state_.empty()) return;
    std::string command = shellQuoted(scriptPath("throwaway-slapd")) + " stop " +
                          shellQuoted(state_) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "slapd stop failed\n");
    state_.clear();
  }

 private:
  void readSettings(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      std::string::size_type eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      settings_[line.substr(0, eq)] = value;
    }
    for (const char* key : {"URI", "PORT", "BASE", "ADMIN_DN", "ADMIN_PASSWORD"}) {
      if (settings_.count(key) == 0)
        throw std::runtime_error("throwaway-slapd gave no " + std::string(key));
    }
  }

  std::string state_;
  std::map<std::string, std::string> settings_;
};

// A fixture base with one server for its suite: the suite's SetUpTestSuite starts server_, and
// the server is stopped after the suite's last test.
template <class Base>
class ServerSuite : public Base {
 public:
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

 protected:
  static Server* server_;
};
template <class Base>
Server* ServerSuite<Base>::server_ = nullptr;

// A TCP socket bound to a free loopback port, which goes to *port.
inline int loopbackSocket(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("cannot bind a loopback socket");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A loopback listener that completes TCP connections (in the kernel's backlog) and never
// reads or answers: a server that hangs after accepting.
class SilentListener {
 public:
  SilentListener() : fd_(loopbackSocket(&port_)) {
    if (listen(fd_, 64) != 0) {
      close(fd_);
      throw std::runtime_error("cannot listen on loopback");
    }
  }
  ~SilentListener() { close(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int port() const { return port_; }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }

 private:
  int port_ = 0;  // declared first: fd_'s initialiser sets it
  int fd_;
};

// A loopback port with nobody listening (taken from the kernel, then released).
inline int closedPort() {
  int port = 0;
  close(loopbackSocket(&port));
  return port;
}

}  // namespace slapdtest

#endif
