// Issuer checks over the certificate and revocation list objects; no OpenSSL call here, so
// the checks hold for any implementation of those objects.
#include "zevissuer.h"

#include <string>

namespace zev09000003 {
namespace {

std::string nameOf(const ZEVASNx500Name& name) { return name.getRFC2253String().str(); }

// What the issuer must be for anything it signs: a CA certificate.
std::string whyNotACA(const ZEVASNx509Certificate& issuer) {
  if (!issuer.isCA()) {
    return nameOf(issuer.getSubject()) + " (serial " + issuer.getSerialNumberHex().str() +
           ") is not a CA certificate (no basicConstraints cA)";
  }
  return std::string();
}

}  // namespace

ZEVString ZEVASNIssuerCheck::whyNotIssuedBy(const ZEVASNx509Certificate& cert,
                                            const ZEVASNx509Certificate& issuer) {
  std::string issuerName = nameOf(issuer.getSubject());
  if (!(cert.getIssuer() == issuer.getSubject())) {
    return ZEVString("the issuer name " + nameOf(cert.getIssuer()) + " of " +
                     nameOf(cert.getSubject()) + " is not the subject " + issuerName);
  }
  std::string why = whyNotACA(issuer);
  if (!why.empty()) return ZEVString(why);
  if (!issuer.allowsCertSigning()) {
    return ZEVString("the key usage of " + issuerName + " does not allow signing certificates");
  }
  if (!cert.verifySignature(issuer)) {
    return ZEVString("the signature of " + nameOf(cert.getSubject()) + " (serial " +
                     cert.getSerialNumberHex().str() + ") does not verify with the key of " +
                     issuerName + " (serial " + issuer.getSerialNumberHex().str() + ")");
  }
  return ZEVString();
}

ZEVString ZEVASNIssuerCheck::whyNotIssuedBy(const ZEVASNCertificateList& crl,
                                            const ZEVASNx509Certificate& issuer) {
  std::string issuerName = nameOf(issuer.getSubject());
  if (!(crl.getIssuer() == issuer.getSubject())) {
    return ZEVString("the revocation list's issuer " + nameOf(crl.getIssuer()) +
                     " is not the subject " + issuerName);
  }
  std::string why = whyNotACA(issuer);
  if (!why.empty()) return ZEVString(why);
  if (!issuer.allowsCRLSigning()) {
    return ZEVString("the key usage of " + issuerName + " does not allow signing CRLs");
  }
  if (!crl.verifySignature(issuer)) {
    return ZEVString("the revocation list's signature does not verify with the key of " +
                     issuerName + " (serial " + issuer.getSerialNumberHex().str() + ")");
  }
  return ZEVString();
}

bool ZEVASNIssuerCheck::isSelfIssued(const ZEVASNx509Certificate& cert) {
  return whyNotIssuedBy(cert, cert).empty();
}

}  // namespace zev09000003
