// What the host layer's ASN.1 modules share with each other and nobody else: the CRL reader
// (zevcrl.cpp) reaches a certificate's serial number and key through these, as the
// certificate's OpenSSL object is private to zevasn.cpp.
#ifndef ZEV_CMS_ASNINTERNAL_H
#define ZEV_CMS_ASNINTERNAL_H

#include <string>
#include <vector>

#include "zevasn.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct stack_st_GENERAL_NAME GENERAL_NAMES;

namespace zev09000003 {
namespace asn {

// The content bytes of the certificate's serial number INTEGER in DER (shortest form).
// Throws ZEVException for an empty certificate object.
std::string serialContent(const ZEVASNx509Certificate& cert);

// The certificate's public key, owned by the certificate; null for an empty object or a key
// OpenSSL cannot use.
EVP_PKEY* publicKey(const ZEVASNx509Certificate& cert);

// The URIs among names (a GeneralNames of a distribution point), as they stand.
std::vector<ZEVString> uriNames(const GENERAL_NAMES* names);

// The text of OpenSSL's oldest queued error, and an empty queue afterwards.
std::string opensslError();

}  // namespace asn
}  // namespace zev09000003

#endif
