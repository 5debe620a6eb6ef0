// The URL roads of both directory managers (getViaURI), over the fake LDAP library loaded as
// "zev9ldap": any URL gives a container or a ZEVException, and every handle the plug-in
// frees is one the library gave out.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "ldapdirmanager.h"
#include "ldapdynamicdirmanager.h"
#include "support/fakeldap.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

struct Setup {
  Setup() {
    // The managers load "zev9ldap" through the host layer, which looks here first.
    setenv("ZEV_LIBRARY_PATH", (fakeldap::dir() + "/zev").c_str(), 1);
    info.setErrorLevel(0);
    fake.addText("cn=CA1,o=Example,c=GB", "certificateRevocationList;binary", "{ASN}3000");
    base.reset(new LDAPDIRManager(info));
    dynamic.reset(new LDAPDynamicDIRManager(info));
  }
  fakeldap::Library fake{fakeldap::zevPath()};  // first: the managers use it
  ZEVDIRConnectInfo::LDAP info;
  std::unique_ptr<ZEVDIRManager> base, dynamic;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;  // lives for the process, like a host's managers
  const ZEVString url(std::string(reinterpret_cast<const char*>(data), size));
  for (ZEVDIRManager* manager : {setup->base.get(), setup->dynamic.get()}) {
    try {
      std::unique_ptr<ZEVASNCRLContainer> lists(manager->getViaURI(url));
      if (!lists) std::abort();
    } catch (const ZEVException& e) {
      if (e.getMessage().length() == 0) std::abort();
    }
  }
  if (setup->fake.badFrees() != 0) std::abort();
  setup->fake.logClear();
  return 0;
}
