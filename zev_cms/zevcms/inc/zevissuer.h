// Whether a CA certificate issued a certificate or a revocation list. This is the one place
// where the toolkit decides that: by name, by the CA's basic constraints and key usage, and
// by signature. Paths, trust anchors and times are the caller's business.
#ifndef ZEV_CMS_ZEVISSUER_H
#define ZEV_CMS_ZEVISSUER_H

#include "zevasn.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

class ZEVCMS_EXPORT ZEVASNIssuerCheck {
 public:
  // Empty when issuer issued cert: cert's issuer name is issuer's subject, issuer is a CA
  // (basicConstraints cA) whose key usage, if present, allows keyCertSign, and cert's
  // signature verifies with issuer's key. Otherwise the first reason that fails, naming both.
  // Throws ZEVException on an empty object.
  static ZEVString whyNotIssuedBy(const ZEVASNx509Certificate& cert,
                                  const ZEVASNx509Certificate& issuer);
  // The same for a revocation list: its issuer name, a CA whose key usage allows cRLSign,
  // and its signature.
  static ZEVString whyNotIssuedBy(const ZEVASNCertificateList& crl,
                                  const ZEVASNx509Certificate& issuer);
  // True when cert issued itself (a self-signed CA certificate, a candidate trust anchor).
  static bool isSelfIssued(const ZEVASNx509Certificate& cert);
};

}  // namespace zev09000003

#endif
