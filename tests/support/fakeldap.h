// Test access to a variant of the fake LDAP library: loads it (the same handle that the code
// under test gets for the same file) and binds the control functions of fakeldap_control.h.
// The library stays loaded while the object lives, so the fake's state outlives the clients.
#ifndef TESTS_SUPPORT_FAKELDAP_H
#define TESTS_SUPPORT_FAKELDAP_H

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "../fakeldap/fakeldap_control.h"

namespace fakeldap {

inline std::string dir() { return FAKELDAP_DIR; }
inline std::string standardPath() { return dir() + "/libfakeldap.so"; }
inline std::string zevPath() { return dir() + "/zev/libzev9ldap.so"; }
inline std::string noSearchPath() { return dir() + "/libfakeldap_nosearch.so"; }
inline std::string noOptionalPath() { return dir() + "/libfakeldap_noopt.so"; }
inline std::string noURLSearchPath() { return dir() + "/libfakeldap_nourlsearch.so"; }

class Library {
  void* handle_;  // first: the members below are bound through it

  static void* open(const std::string& path) {
    if (void* handle = dlopen(path.c_str(), RTLD_NOW)) return handle;
    throw std::runtime_error("cannot load " + path + ": " + dlerror());
  }
  template <class F>
  F bind(const F&, const char* name) {
    if (void* f = dlsym(handle_, name)) return reinterpret_cast<F>(f);
    throw std::runtime_error(std::string("fake lacks ") + name);
  }

 public:
  explicit Library(const std::string& path) : handle_(open(path)) { reset(); }
  ~Library() { dlclose(handle_); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  decltype(&fake_reset) reset = bind(reset, "fake_reset");
  decltype(&fake_add_value) addValue = bind(addValue, "fake_add_value");
  decltype(&fake_script) script = bind(script, "fake_script");
  decltype(&fake_log_size) logSize = bind(logSize, "fake_log_size");
  decltype(&fake_log_line) logLine = bind(logLine, "fake_log_line");
  decltype(&fake_log_clear) logClear = bind(logClear, "fake_log_clear");
  decltype(&fake_call_count) callCount = bind(callCount, "fake_call_count");
  decltype(&fake_last_mod_value) lastModValue = bind(lastModValue, "fake_last_mod_value");
  decltype(&fake_outstanding) outstanding = bind(outstanding, "fake_outstanding");
  decltype(&fake_bad_frees) badFrees = bind(badFrees, "fake_bad_frees");
  decltype(&fake_handle_report) handleReport = bind(handleReport, "fake_handle_report");

  // The log lines that start with prefix (all of them by default).
  std::vector<std::string> log(const std::string& prefix = "") const {
    std::vector<std::string> lines;
    for (int i = 0; i < logSize(); ++i)
      if (std::string(logLine(i)).rfind(prefix, 0) == 0) lines.emplace_back(logLine(i));
    return lines;
  }
  void addText(const std::string& dn, const std::string& attr, const std::string& value) {
    addValue(dn.c_str(), attr.c_str(), value.data(), value.size());
  }
  void addBytes(const std::string& dn, const std::string& attr,
                const std::vector<unsigned char>& value) {
    addValue(dn.c_str(), attr.c_str(), value.data(), value.size());
  }
};

}  // namespace fakeldap

#endif
