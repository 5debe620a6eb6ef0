// Loads the installed plug-in through the installed host layer, has it build a directory
// manager (which loads the installed LDAP library) and asks a closed port for a bind.
// Prints "refused 576002" when the whole chain was found and the connection failed as it must.
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
    std::cout << "bound to a closed port?\n";
    return 1;
  } catch (const ZEVException& e) {
    std::cout << "refused " << e.getError() << "\n";
    return e.getError() == 576002 ? 0 : 1;
  }
}
