// The LDIF reader: any text gives a result set, or a ZEVException naming the line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "ldapsearch.h"
#include "zevcms.h"

using namespace zev09000003;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    LDAPSearchResults results(in);
    // Walk every value, so a map that points at freed memory shows.
    std::size_t bytes = 0;
    while (LDAPAttributeMap* map = results.next()) {
      for (const auto& element : *map) {
        if (element.first == nullptr || element.second == nullptr) std::abort();
        bytes += std::strlen(element.first) + element.second->getLength();
      }
    }
    if (bytes > 2 * size + 16 * results.count() + 16) std::abort();  // values come from the text
  } catch (const ZEVException& e) {
    if (std::string(e.what()).rfind("ldif ", 0) != 0) std::abort();  // names the LDIF problem
  }
  return 0;
}
