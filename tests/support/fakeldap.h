// Test access to a variant of the fake LDAP library: loads it (the same handle that the code
// under test gets for the same file) and binds the control functions of fakeldap_control.h.
// The library stays loaded while the object lives, so the fake's state outlives the clients.
#ifndef TESTS_SUPPORT_FAKELDAP_H
#define TESTS_SUPPORT_FAKELDAP_H

#include <stdexcept>
#include <string>
#include <vector>

#include "../fakeldap/fakeldap_control.h"
#include "support/platform.h"

namespace fakeldap {

inline std::string dir() { return FAKELDAP_DIR; }
inline std::string variant(const std::string& name) {
  return dir() + "/" + testsupport::libraryFile(name);
}
inline std::string standardPath() { return variant("fakeldap"); }
inline std::string zevPath() { return dir() + "/zev/" + testsupport::libraryFile("zev9ldap"); }
inline std::string noSearchPath() { return variant("fakeldap_nosearch"); }
inline std::string noOptionalPath() { return variant("fakeldap_noopt"); }
inline std::string noURLSearchPath() { return variant("fakeldap_nourlsearch"); }

class Library {
  testsupport::Library library_;  // first: the members below are bound through it

  template <class F>
  F bind(const F&, const char* name) {
    return library_.function<F>(name);
  }

 public:
  explicit Library(const std::string& path) : library_(path) { reset(); }
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
