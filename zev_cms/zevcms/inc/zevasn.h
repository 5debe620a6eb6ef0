// ASN.1 objects of the toolkit: X.509 certificates, certificate revocation lists and X.500
// names, with OpenSSL behind them (never visible in this header), and the containers in
// which the directory subsystem returns them.
#ifndef ZEV_CMS_ZEVASN_H
#define ZEV_CMS_ZEVASN_H

#include <cstddef>
#include <memory>
#include <vector>

#include "zevbuffer.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

// Error code of the ZEVException thrown when DER does not decode, when an accessor is used
// on an empty object, and when DN text does not parse.
const long ZEV_ERR_ASN_DECODE = 571100;  // 0x8B6DC

// Whether a container deletes the objects pushed into it.
enum ZEVOwnership { ZEV_NOT_OWNER = 0, ZEV_OWNER = 1 };

// Base of the DER-encoded objects. An object is empty until setDEREncoding fills it.
class ZEVCMS_EXPORT ZEVASNObject {
 public:
  explicit ZEVASNObject(int securityType = 0);
  virtual ~ZEVASNObject();
  int getSecurityType() const { return securityType_; }
  bool isEmpty() const { return der_.getLength() == 0; }
  // The DER of the object (empty before decoding).
  const ZEVFastBuffer& getDEREncoding() const { return der_; }
  // Parses der strictly and replaces the content. Throws ZEVException when the bytes do not
  // parse or when bytes follow the encoding; the object is unchanged then.
  virtual void setDER(const ZEVASNCBuffer& der) = 0;
  // As setDER, but the object takes der's bytes instead of copying them: der is left empty
  // when the bytes decode, and unchanged when this throws.
  virtual void setDER(ZEVFastBuffer&& der);
  // PEM text of the object.
  virtual ZEVString getPEM() const = 0;
  // SHA-256 of the DER as openssl prints it: upper-case hex bytes separated by colons.
  ZEVString getSHA256Fingerprint() const;

 protected:
  ZEVFastBuffer der_;

 private:
  int securityType_;
};

class ZEVASNx509Certificate;

// Seconds since 1970-01-01T00:00:00Z; negative before it.
typedef long long ZEVEpochSeconds;

// An X.500 distinguished name.
class ZEVCMS_EXPORT ZEVASNx500Name {
 public:
  ZEVASNx500Name();  // the empty name
  ZEVASNx500Name(const ZEVASNx500Name& other);
  ZEVASNx500Name& operator=(const ZEVASNx500Name& other);
  ~ZEVASNx500Name();
  // Throws ZEVException on bad DER (trailing bytes included).
  static ZEVASNx500Name fromDER(const ZEVASNCBuffer& der);
  // Parses RFC 4514 text ("cn=CA,o=Example,c=GB"), escapes included. Throws ZEVException with
  // a message naming the text when it is not a valid DN.
  static ZEVASNx500Name fromRFC4514(const ZEVString& text);
  ZEVString getRFC2253String() const;
  ZEVFastBuffer getDER() const;
  bool operator==(const ZEVASNx500Name& other) const;

  struct Impl;
  explicit ZEVASNx500Name(std::unique_ptr<Impl> impl);
  const Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

class ZEVCMS_EXPORT ZEVASNx509Certificate : public ZEVASNObject {
 public:
  explicit ZEVASNx509Certificate(int securityType = 0);
  ~ZEVASNx509Certificate() override;
  void setDER(const ZEVASNCBuffer& der) override;
  void setDER(ZEVFastBuffer&& der) override;
  ZEVString getPEM() const override;

  // Accessors; each throws ZEVException on an empty object.
  ZEVASNx500Name getSubject() const;
  ZEVASNx500Name getIssuer() const;
  // getSubject().getRFC2253String() and getIssuer().getRFC2253String(), without a copy of
  // the name in between: for printing many certificates.
  ZEVString getSubjectText() const;
  ZEVString getIssuerText() const;
  ZEVString getSerialNumberHex() const;  // upper-case hex, as openssl prints it
  ZEVString getNotBefore() const;        // "Jan  1 00:00:00 2026 GMT"
  ZEVString getNotAfter() const;
  bool isCA() const;
  // URIs of the CRL distribution points of kind LDAP ("ldap://..." and "ldaps://...").
  std::vector<ZEVString> getLDAPDistributionPoints() const;
  // The validity period as times.
  ZEVEpochSeconds getNotBeforeTime() const;
  ZEVEpochSeconds getNotAfterTime() const;
  // True when the certificate's signature verifies with the public key of issuer; names are
  // not compared (ZEVASNIssuerCheck does that). False for an empty issuer object.
  bool verifySignature(const ZEVASNx509Certificate& issuer) const;
  // Key usage: true when the certificate has no keyUsage extension or it sets the bit.
  bool allowsCertSigning() const;  // keyCertSign
  bool allowsCRLSigning() const;   // cRLSign

  struct Impl;
  const Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

struct ZEVRevocationInfo {
  bool revoked;
  ZEVString date;    // revocation date, "Jan  1 00:00:00 2026 GMT"
  ZEVString reason;  // "keyCompromise", ..., or "unspecified" when none is recorded
  ZEVEpochSeconds dateTime = 0;  // the revocation date as a time, when revoked
};

// Where a revocation list applies and what in it this reader cannot interpret, from the
// list's extensions and its entries' (RFC 5280 5.2 and 5.3).
struct ZEVCRLScope {
  bool onlyUserCerts = false;       // issuingDistributionPoint: onlyContainsUserCerts
  bool onlyCACerts = false;         // issuingDistributionPoint: onlyContainsCACerts
  bool onlyAttributeCerts = false;  // issuingDistributionPoint: onlyContainsAttributeCerts
  bool onlySomeReasons = false;     // issuingDistributionPoint: onlySomeReasons present
  bool indirect = false;            // issuingDistributionPoint: indirectCRL
  bool delta = false;               // deltaCRLIndicator present: a delta CRL
  // Dotted OIDs of the critical extensions, of the list or of any entry, that are not among
  // those named above, authorityKeyIdentifier, cRLNumber, issuerAltName, freshestCRL,
  // reasonCode, invalidityDate and certificateIssuer. A list with any is not to be used.
  std::vector<ZEVString> unknownCritical;
  ZEVString crlNumber;  // upper-case hex of cRLNumber; empty when the list has none
  // issuingDistributionPoint with a distributionPoint name: the list covers only the
  // certificates that name that point. The full name's URIs are in distributionPoints (none
  // when the point is named relative to the issuer or by other kinds of name).
  bool partitioned = false;
  std::vector<ZEVString> distributionPoints;
};

class ZEVCMS_EXPORT ZEVASNCertificateList : public ZEVASNObject {
 public:
  explicit ZEVASNCertificateList(int securityType = 0);
  ~ZEVASNCertificateList() override;
  void setDER(const ZEVASNCBuffer& der) override;
  void setDER(ZEVFastBuffer&& der) override;
  ZEVString getPEM() const override;

  // Accessors; each throws ZEVException on an empty object.
  ZEVASNx500Name getIssuer() const;
  ZEVString getThisUpdate() const;
  ZEVString getNextUpdate() const;  // empty when the list has none
  ZEVEpochSeconds getThisUpdateTime() const;
  // False, leaving time alone, when the list has no nextUpdate.
  bool getNextUpdateTime(ZEVEpochSeconds& time) const;
  ZEVCRLScope getScope() const;
  std::size_t getRevokedCount() const;
  // Looks the certificate's serial number up in the list.
  ZEVRevocationInfo findRevoked(const ZEVASNx509Certificate& cert) const;
  // The entry at index (0 to getRevokedCount() - 1, in list order), and its serial number in
  // upper-case hex as getSerialNumberHex prints one. Throws ZEVException past the end.
  ZEVRevocationInfo getRevokedEntry(std::size_t index, ZEVString& serialHex) const;
  // True when the list is signed by the key of issuer.
  bool verifySignature(const ZEVASNx509Certificate& issuer) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A sequence of ASN.1 objects. With ZEV_OWNER, push_back takes ownership of the object and
// the container deletes it; the caller owns the container.
template <class T>
class ZEVASNContainer {
 public:
  explicit ZEVASNContainer(ZEVOwnership ownership = ZEV_OWNER) : ownership_(ownership) {}
  virtual ~ZEVASNContainer() {
    if (ownership_ == ZEV_OWNER) {
      for (T* item : items_) delete item;
    }
  }
  ZEVASNContainer(const ZEVASNContainer&) = delete;
  ZEVASNContainer& operator=(const ZEVASNContainer&) = delete;

  void push_back(T* item) { items_.push_back(item); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  T* operator[](std::size_t i) const { return items_[i]; }
  typename std::vector<T*>::const_iterator begin() const { return items_.begin(); }
  typename std::vector<T*>::const_iterator end() const { return items_.end(); }
  ZEVOwnership getOwnership() const { return ownership_; }

 private:
  std::vector<T*> items_;
  ZEVOwnership ownership_;
};

class ZEVCMS_EXPORT ZEVASNCertificateContainer : public ZEVASNContainer<ZEVASNx509Certificate> {
 public:
  explicit ZEVASNCertificateContainer(ZEVOwnership ownership = ZEV_OWNER);
  ~ZEVASNCertificateContainer() override;
};

class ZEVCMS_EXPORT ZEVASNCRLContainer : public ZEVASNContainer<ZEVASNCertificateList> {
 public:
  explicit ZEVASNCRLContainer(ZEVOwnership ownership = ZEV_OWNER);
  ~ZEVASNCRLContainer() override;
};

class ZEVCMS_EXPORT ZEVASNUtility {
 public:
  // Decodes der strictly into object (see ZEVASNObject::setDER); throws ZEVException.
  static void setDEREncoding(const ZEVFastBuffer& der, ZEVASNObject& object);
  static void setDEREncoding(const ZEVASNCBuffer& der, ZEVASNObject& object);
  // Moves der's bytes into object when they decode (see ZEVASNObject::setDER).
  static void setDEREncoding(ZEVFastBuffer&& der, ZEVASNObject& object);
  // RFC 2253 text of a name. The flag and the format number are accepted for compatibility;
  // (false, 5) is the form the directory subsystem uses: RFC 2253, most significant last.
  static ZEVString getRFC2253String(const ZEVASNx500Name& name, bool reverse, int format);
  // Days from 1970-01-01 to a date of the proleptic Gregorian calendar, negative before it;
  // month is 1 to 12, day is not checked.
  static long long daysFromCivil(long long year, unsigned month, unsigned day);
  // The number of days of month (1 to 12) in year.
  static unsigned daysInMonth(long long year, unsigned month);
};

}  // namespace zev09000003

#endif
