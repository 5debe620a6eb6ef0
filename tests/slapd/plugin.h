// The loaded plug-in, as a host uses it: the factory "zev9drld" from the library manager
// (ZEV_LIBRARY_PATH names the build's lib folder, so "zev9ldap" is the toolkit's own LDAP
// library), the dynamic manager's C entry looked up in the plug-in by name, and the two roads
// to an LDAP library: the default one and a driver path to the system's libldap.
#ifndef TESTS_SLAPD_PLUGIN_H
#define TESTS_SLAPD_PLUGIN_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/slapd.h"
#include "zevcms.h"

#ifndef SYSTEM_LIBLDAP
#error "SYSTEM_LIBLDAP must name the system's libldap file"
#endif

namespace plugintest {

using namespace zev09000003;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// One way from the plug-in to an LDAP library.
struct Road {
  const char* name;
  const char* driverPath;  // empty: the default library "zev9ldap"
  bool ours() const { return driverPath[0] == '\0'; }
};

const Road kRoads[] = {{"Zev9ldap", ""}, {"SystemLibldap", SYSTEM_LIBLDAP}};

inline std::string roadName(const ::testing::TestParamInfo<Road>& info) { return info.param.name; }

typedef void* (*NewDynamicManager)(void* args, void** failure);

// Clients load and free their LDAP library each time. The system's libldap keeps process-wide
// state (SASL plug-ins, the TLS library) that it never frees; held loaded for the test's life
// (the handle is deliberately never freed), it is set up once and not reported as leaked by
// every unload.
inline void holdSystemLibldap() {
  static void* handle = nullptr;
  if (handle == nullptr && zev_load_library(SYSTEM_LIBLDAP, &handle) != 0) {
    throw std::runtime_error("cannot load " + std::string(SYSTEM_LIBLDAP));
  }
}

class Plugin {
 public:
  static Plugin& get() {
    static Plugin plugin;
    return plugin;
  }
  ~Plugin() {
    if (handle_ != nullptr) zev_free_library(handle_);
  }

  std::unique_ptr<ZEVDIRManager> manager(const ZEVDIRConnectInfo::LDAP& info) {
    return std::unique_ptr<ZEVDIRManager>(
        static_cast<ZEVDIRManager*>(factory_(const_cast<ZEVDIRConnectInfo::LDAP*>(&info))));
  }
  // Throws a copy of the failure that the entry reports.
  std::unique_ptr<ZEVDIRManager> dynamicManager(const ZEVDIRConnectInfo::LDAP& info) {
    void* failure = nullptr;
    void* made = newDynamic_(const_cast<ZEVDIRConnectInfo::LDAP*>(&info), &failure);
    if (made == nullptr) {
      std::unique_ptr<ZEVException> e(static_cast<ZEVException*>(failure));
      if (e) throw ZEVException(*e);
      throw std::runtime_error("no dynamic manager and no failure");
    }
    return std::unique_ptr<ZEVDIRManager>(static_cast<ZEVDIRManager*>(made));
  }

 private:
  Plugin() {
    factory_ = ZEVLibraryManager::getLibraryFunction("zev9drld");
    if (factory_ == nullptr) {
      throw std::runtime_error("cannot load zev9drld: " +
                               std::string(ZEVLibraryManager::lastError().c_str()));
    }
    handle_ = ZEVLibraryManager::loadLibraryReally("zev9drld", "");
    void* address = nullptr;
    if (handle_ == nullptr ||
        zev_get_func_address(handle_, "zev9drld_newDynamicDIRManager", &address) != 0) {
      throw std::runtime_error("zev9drld has no zev9drld_newDynamicDIRManager");
    }
    newDynamic_ = reinterpret_cast<NewDynamicManager>(address);
    holdSystemLibldap();
  }
  ZEVLibraryFunction factory_ = nullptr;
  void* handle_ = nullptr;
  NewDynamicManager newDynamic_ = nullptr;
};

// Connection information for the road and a server on 127.0.0.1.
inline ZEVDIRConnectInfo::LDAP connectInfo(const Road& road, int port) {
  ZEVDIRConnectInfo::LDAP info("127.0.0.1", port);
  info.setDriverPath(road.driverPath);
  info.setConnectTimeout(5);
  info.setSearchTimeout(10);
  return info;
}

const char* const kCA = "cn=Test CA,o=Example,c=GB";
// The CA entry's revocation list, as the path of an LDAP URL.
const char* const kCrlPath = "/cn=Test%20CA,o=Example,c=GB?certificateRevocationList;binary";

inline ZEVASNx500Name dn(const std::string& text) {
  return ZEVASNx500Name::fromRFC4514(ZEVString(text));
}

inline std::string der(const std::string& name) {
  testpki::Bytes bytes = testpki::get().der(name);
  return std::string(bytes.begin(), bytes.end());
}

// The test PKI's name of a DER object ("ca", "crl", ...), so that results compare and print
// as names.
inline std::string pkiName(const std::string& bytes) {
  for (const char* name : {"ca", "ca2", "user1", "user2", "user3", "crl", "arl", "other"}) {
    if (bytes == der(name)) return name;
  }
  return "unknown object of " + std::to_string(bytes.size()) + " bytes";
}

typedef std::vector<std::string> Ders;

// The names of the objects in a container; the overload for a plain pointer takes ownership of
// what a manager returned.
template <class Container>
Ders ders(const std::unique_ptr<Container>& container) {
  Ders out;
  for (std::size_t i = 0; i < container->size(); ++i) {
    const ZEVFastBuffer& der = (*container)[i]->getDEREncoding();
    out.push_back(
        pkiName(std::string(reinterpret_cast<const char*>(der.getValue()), der.getLength())));
  }
  return out;
}
template <class Container>
Ders ders(Container* returned) {
  return ders(std::unique_ptr<Container>(returned));
}

// Installs an in-memory trace sink for one test.
class TraceCapture {
 public:
  TraceCapture() : sink_(std::make_shared<ZEVMemoryTraceSink>()) {
    ZEVTrace::globalTrace().setSink(sink_);
    ZEVTrace::globalTrace().setLevel(1);
  }
  ~TraceCapture() { ZEVTrace::globalTrace().setSink(nullptr); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  int count(const std::string& text) const {
    int n = 0;
    for (const std::string& t : sink_->texts()) n += t == text ? 1 : 0;
    return n;
  }

 private:
  std::shared_ptr<ZEVMemoryTraceSink> sink_;
};

// The code and text of the ZEVDIRException that work throws ("576004 ..."), or "" when it
// throws none.
inline std::string failureOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const ZEVDIRException& e) {
    return std::to_string(e.getError()) + " " + e.what();
  }
  return "";
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace plugintest

#endif
