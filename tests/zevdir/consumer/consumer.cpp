// Has the installed plug-in, found by the installed host layer, ask a closed port for a bind
// through the installed LDAP library; prints "refused 576002" when the whole chain works.
#include <iostream>
#include <memory>

#include "zevcms.h"

using namespace zev09000003;

int main() {
  ZEVLibraryFunction factory = ZEVLibraryManager::getLibraryFunction("zev9drld");
  if (factory == nullptr) {
    std::cout << "no plug-in: " << ZEVLibraryManager::lastError() << "\n";
    return 1;
  }
  ZEVDIRConnectInfo::LDAP info(ZEVString("127.0.0.1"), 1);
  info.setConnectTimeout(2);
  try {
    std::unique_ptr<ZEVDIRManager> manager(static_cast<ZEVDIRManager*>(factory(&info)));
    manager->validateConnection();
  } catch (const ZEVException& e) {
    std::cout << "refused " << e.getError() << "\n";
  }
}
