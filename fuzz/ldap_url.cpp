// LDAP URLs in our LDAP library and the host layer: the host text of zev_ldap_init turned into
// a URI list, the library's URL parse, and the filling of an empty host from the DN.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hosts.h"
#include "zevcms.h"

using namespace zev09000003;

// hosts.h brings OpenLDAP's own declarations, which clash with the client table's in
// zevldap.h; the two exports used here are declared over OpenLDAP's URL description, which
// is what the library hands out.
extern "C" int zev_ldap_url_parse(const char* url, LDAPURLDesc** description);
extern "C" void zev_ldap_free_urldesc(LDAPURLDesc* description);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // C APIs stop at a NUL

  std::string uris = "unchanged";
  const int port = size > 0 ? data[0] * 257 : 0;
  if (zevldap::hostsToUriList(text.c_str(), port, &uris)) {
    if (uris.empty() || uris == "unchanged") std::abort();  // success gives a list
  } else if (uris != "unchanged") {
    std::abort();  // failure leaves the output alone
  }

  LDAPURLDesc* description = nullptr;
  if (zev_ldap_url_parse(text.c_str(), &description) == 0) {
    if (description == nullptr) std::abort();
  }
  zev_ldap_free_urldesc(description);

  try {
    const std::string filled = ZEVUtility::convertDCtoHost(ZEVString(text)).str();
    // A URL that comes back changed has gained a host and kept the rest.
    if (filled != text && filled.size() <= text.size()) std::abort();
  } catch (const ZEVException& e) {
    if (e.getError() != ZEV_ERR_ENCODING) std::abort();
  }
  return 0;
}
