// ZEVASNCertificateList: a revocation list held as its DER and a compact index.
//
// Design: OpenSSL's X509_CRL turns every revoked entry into a heap object (about eight times
// the DER in memory, most of the decoding time). This reader validates the whole list in one
// strict pass instead, refusing everything OpenSSL refuses, and keeps only the offset of each
// revoked entry; fields are read from the DER when asked for. Small, rare parts (the issuer
// name, the certificateIssuer entry extension, the scope extensions) are handed to OpenSSL's
// own decoders, so that their rules are exactly OpenSSL's.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "asninternal.h"
#include "derreader.h"
#include "zevasn.h"
#include "zevexception.h"

namespace zev09000003 {
namespace {

using der::Reader;
using der::Tlv;

[[noreturn]] void fail(int line, const std::string& message) {
  throw ZEVException(__FILE__, line, ZEV_ERR_ASN_DECODE, ZEVString(message));
}

// Content bytes of the extension OIDs the reader looks at (all under 2.5.29).
const unsigned char kOidAuthorityKeyId[] = {0x55, 0x1D, 0x23};
const unsigned char kOidCrlNumber[] = {0x55, 0x1D, 0x14};
const unsigned char kOidIssuerAltName[] = {0x55, 0x1D, 0x12};
const unsigned char kOidDeltaCrl[] = {0x55, 0x1D, 0x1B};
const unsigned char kOidIssuingDistPoint[] = {0x55, 0x1D, 0x1C};
const unsigned char kOidFreshestCrl[] = {0x55, 0x1D, 0x2E};
const unsigned char kOidReasonCode[] = {0x55, 0x1D, 0x15};
const unsigned char kOidInvalidityDate[] = {0x55, 0x1D, 0x18};
const unsigned char kOidCertificateIssuer[] = {0x55, 0x1D, 0x1D};

bool oidIs(const unsigned char* d, const Tlv& oid, const unsigned char (&want)[3]) {
  return oid.length == 3 && std::memcmp(d + oid.content, want, 3) == 0;
}

// Extensions whose meaning the scope reports, or that change nothing about which
// certificates a list covers; a critical extension outside this set makes a list unusable.
bool knownExtension(const unsigned char* d, const Tlv& oid) {
  for (const auto* known : {&kOidAuthorityKeyId, &kOidCrlNumber, &kOidIssuerAltName, &kOidDeltaCrl,
                            &kOidIssuingDistPoint, &kOidFreshestCrl, &kOidReasonCode,
                            &kOidInvalidityDate, &kOidCertificateIssuer}) {
    if (oidIs(d, oid, *known)) return true;
  }
  return false;
}

// One extension, split into its parts.
struct Extension {
  Tlv oid;
  bool critical = false;
  Tlv value;  // the OCTET STRING
};

Extension readExtension(const unsigned char* d, const Tlv& seq, const char* what) {
  Reader r(d, seq.content, seq.end());
  Extension ext;
  ext.oid = r.expect(der::kOid, what);
  der::checkOid(d, ext.oid, what);
  if (r.peekTag() == der::kBoolean) {
    Tlv b = r.expect(der::kBoolean, what);
    der::checkBoolean(d, b, what);
    // An explicit FALSE is not DER (the default is omitted), but OpenSSL takes it, and so
    // does this reader: refusing it would refuse lists OpenSSL reads.
    ext.critical = d[b.content] != 0;
  }
  ext.value = r.expect(der::kOctetString, what);
  if (!r.atEnd()) der::fail(std::string(what) + ": unexpected field after the value", r.pos());
  return ext;
}

// AlgorithmIdentifier: an OID and optional parameters of any type.
void checkAlgorithm(const unsigned char* d, const Tlv& seq, const char* what) {
  Reader r(d, seq.content, seq.end());
  Tlv oid = r.expect(der::kOid, what);
  der::checkOid(d, oid, what);
  if (!r.atEnd()) {
    Tlv params = r.any(what);
    der::checkAnyValue(d, params, what);
  }
  if (!r.atEnd()) der::fail(std::string(what) + ": unexpected field after the parameters", r.pos());
}

bool isTime(unsigned char tag) { return tag == der::kUtcTime || tag == der::kGeneralizedTime; }

ZEVString timeText(const der::Time& t) { return ZEVString(t.text()); }

const char* kReasonNames[] = {"unspecified",        "keyCompromise", "cACompromise",
                              "affiliationChanged", "superseded",    "cessationOfOperation",
                              "certificateHold",    nullptr,         "removeFromCRL",
                              "privilegeWithdrawn", "aACompromise"};

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

}  // namespace

struct ZEVASNCertificateList::Impl {
  // Offsets into the object's DER (smaller than 4 GiB: the pass refuses larger lists).
  Tlv tbs, innerAlg, outerAlg, signature, issuer, thisUpdate, nextUpdate;
  bool hasNextUpdate = false;
  bool hasExtensions = false;
  Tlv extensions;                      // the list's Extensions SEQUENCE
  std::vector<std::uint32_t> entries;  // start of each revoked entry's SEQUENCE, in order
  // Distinct unknown critical extension OIDs of the entries (content bytes), in order.
  std::vector<std::string> entryUnknownCritical;

  // Serial lookup index, sorted by serial: built on the first lookup (see findRevoked).
  struct Key {
    std::uint64_t prefix;  // serial length and its first 7 bytes, for cheap comparisons
    std::uint32_t entry;   // index into entries
  };
  mutable std::once_flag indexOnce;
  mutable std::vector<Key> index;

  void parse(const unsigned char* d, std::size_t n);
  void parseEntries(const unsigned char* d, const Tlv& list);
  void checkExtensions(const unsigned char* d, const Tlv& seq, bool entry);
  Tlv entrySerial(const unsigned char* d, std::size_t i) const;
  void buildIndex(const unsigned char* d) const;
};

// The one validating pass. Throws der::Error naming the first fault.
void ZEVASNCertificateList::Impl::parse(const unsigned char* d, std::size_t n) {
  Reader top(d, 0, n);
  Tlv crl = top.expect(der::kSequence, "CertificateList");
  if (!top.atEnd()) {
    der::fail("trailing bytes after the DER encoding (" + std::to_string(crl.end()) + " of " +
                  std::to_string(n) + " used)",
              crl.end());
  }
  Reader body(d, crl.content, crl.end());
  tbs = body.expect(der::kSequence, "tbsCertList");
  outerAlg = body.expect(der::kSequence, "signatureAlgorithm");
  checkAlgorithm(d, outerAlg, "signatureAlgorithm");
  signature = body.expect(der::kBitString, "signatureValue");
  der::checkBitString(d, signature, "signatureValue");
  if (!body.atEnd()) der::fail("unexpected field after signatureValue", body.pos());

  Reader t(d, tbs.content, tbs.end());
  if (t.peekTag() == der::kInteger) {
    Tlv version = t.expect(der::kInteger, "version");
    der::checkInteger(d, version, "version");
    // Any value: OpenSSL does not refuse unknown versions, and neither does this reader.
  }
  innerAlg = t.expect(der::kSequence, "signature");
  checkAlgorithm(d, innerAlg, "signature");
  issuer = t.expect(der::kSequence, "issuer");
  der::checkAnyValue(d, issuer, "issuer");
  {
    // The name's own rules (string types, character sets) are OpenSSL's.
    const unsigned char* p = d + issuer.start;
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(issuer.end() - issuer.start));
    if (name == nullptr) der::fail("issuer: " + asn::opensslError(), issuer.start);
    X509_NAME_free(name);
  }
  if (!isTime(t.peekTag())) {
    if (t.atEnd()) der::fail("thisUpdate: missing", t.pos());
    der::fail("thisUpdate: neither UTCTime nor GeneralizedTime", t.pos());
  }
  thisUpdate = t.any("thisUpdate");
  der::readTime(d, thisUpdate, "thisUpdate");
  if (isTime(t.peekTag())) {
    nextUpdate = t.any("nextUpdate");
    der::readTime(d, nextUpdate, "nextUpdate");
    hasNextUpdate = true;
  }
  if (t.peekTag() == der::kSequence) {
    parseEntries(d, t.expect(der::kSequence, "revokedCertificates"));
  }
  if (t.peekTag() == der::kContext0) {
    Tlv wrapper = t.expect(der::kContext0, "crlExtensions");
    Reader w(d, wrapper.content, wrapper.end());
    extensions = w.expect(der::kSequence, "crlExtensions");
    if (!w.atEnd()) der::fail("crlExtensions: unexpected bytes after the extensions", w.pos());
    checkExtensions(d, extensions, false);
    hasExtensions = true;
  }
  if (!t.atEnd()) der::fail("tbsCertList: unexpected field", t.pos());
}

void ZEVASNCertificateList::Impl::parseEntries(const unsigned char* d, const Tlv& list) {
  Reader r(d, list.content, list.end());
  // Every entry takes at least 17 bytes; reserving by that bound would over-allocate for
  // long serials, so the vector grows as usual and is trimmed at the end.
  while (!r.atEnd()) {
    Tlv entry = r.expect(der::kSequence, "revoked entry");
    Reader e(d, entry.content, entry.end());
    Tlv serial = e.expect(der::kInteger, "revoked entry serial");
    der::checkInteger(d, serial, "revoked entry serial");
    if (!isTime(e.peekTag())) {
      der::fail("revoked entry date: neither UTCTime nor GeneralizedTime", e.pos());
    }
    der::readTime(d, e.any("revoked entry date"), "revoked entry date");
    if (!e.atEnd()) {
      checkExtensions(d, e.expect(der::kSequence, "revoked entry extensions"), true);
    }
    if (!e.atEnd()) der::fail("revoked entry: unexpected field", e.pos());
    entries.push_back(static_cast<std::uint32_t>(entry.start));
  }
  entries.shrink_to_fit();
}

void ZEVASNCertificateList::Impl::checkExtensions(const unsigned char* d, const Tlv& seq,
                                                  bool entry) {
  const char* what = entry ? "revoked entry extension" : "crlExtensions";
  Reader r(d, seq.content, seq.end());
  bool reason = false, certIssuer = false;
  while (!r.atEnd()) {
    Extension ext = readExtension(d, r.expect(der::kSequence, what), what);
    if (!entry) continue;
    // OpenSSL decodes these two of every entry and refuses the list when either does not
    // decode or appears twice; so does this reader.
    if (oidIs(d, ext.oid, kOidReasonCode)) {
      if (reason) der::fail("revoked entry: reasonCode twice", ext.oid.start);
      reason = true;
      Reader v(d, ext.value.content, ext.value.end());
      Tlv code = v.expect(der::kEnumerated, "reasonCode");
      der::checkInteger(d, code, "reasonCode");
      if (!v.atEnd()) der::fail("reasonCode: bytes after the value", v.pos());
    } else if (oidIs(d, ext.oid, kOidCertificateIssuer)) {
      if (certIssuer) der::fail("revoked entry: certificateIssuer twice", ext.oid.start);
      certIssuer = true;
      const unsigned char* p = d + ext.value.content;
      GENERAL_NAMES* names = d2i_GENERAL_NAMES(nullptr, &p, static_cast<long>(ext.value.length));
      if (names == nullptr) der::fail("certificateIssuer: " + asn::opensslError(), ext.value.start);
      GENERAL_NAMES_free(names);
    }
    if (ext.critical && !knownExtension(d, ext.oid)) {
      std::string oid(reinterpret_cast<const char*>(d + ext.oid.start),
                      ext.oid.end() - ext.oid.start);
      if (std::find(entryUnknownCritical.begin(), entryUnknownCritical.end(), oid) ==
          entryUnknownCritical.end()) {
        entryUnknownCritical.push_back(oid);
      }
    }
  }
}

Tlv ZEVASNCertificateList::Impl::entrySerial(const unsigned char* d, std::size_t i) const {
  Reader e(d, entries[i], tbs.end());
  Tlv entry = e.any("revoked entry");
  Reader f(d, entry.content, entry.end());
  return f.any("revoked entry serial");
}

ZEVASNCertificateList::ZEVASNCertificateList(int securityType)
    : ZEVASNObject(securityType), impl_(new Impl) {}
ZEVASNCertificateList::~ZEVASNCertificateList() {}

namespace {
// The index of a list, or ZEVException naming the first fault.
std::unique_ptr<ZEVASNCertificateList::Impl> indexOf(const ZEVASNCBuffer& der) {
  const unsigned char* d = der.getValue();
  std::size_t n = d != nullptr ? der.getLength() : 0;
  if (n == 0) fail(__LINE__, "CRL does not decode: empty input");
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    fail(__LINE__, "CRL does not decode: larger than 4 GiB (" + std::to_string(n) + " bytes)");
  }
  std::unique_ptr<ZEVASNCertificateList::Impl> fresh(new ZEVASNCertificateList::Impl);
  try {
    fresh->parse(d, n);
  } catch (const der::Error& e) {
    fail(__LINE__,
         "CRL does not decode: " + e.what + " (at byte " + std::to_string(e.offset) + ")");
  }
  return fresh;
}
}  // namespace

void ZEVASNCertificateList::setDER(const ZEVASNCBuffer& der) {
  std::unique_ptr<Impl> fresh = indexOf(der);
  ZEVFastBuffer copy(der);  // der may point into der_ itself
  impl_ = std::move(fresh);
  der_ = std::move(copy);
}

void ZEVASNCertificateList::setDER(ZEVFastBuffer&& der) {
  impl_ = indexOf(der.get());
  der_ = std::move(der);
}

namespace {
const ZEVASNCertificateList::Impl& implOf(const std::unique_ptr<ZEVASNCertificateList::Impl>& impl,
                                          const ZEVFastBuffer& der) {
  if (der.getLength() == 0) fail(__LINE__, "the CRL object is empty");
  return *impl;
}
}  // namespace

ZEVString ZEVASNCertificateList::getPEM() const {
  implOf(impl_, der_);
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio(bio.get(), "X509 CRL", "", der_.getValue(),
                            static_cast<long>(der_.getLength())) <= 0) {
    fail(__LINE__, "cannot write the CRL as PEM: " + asn::opensslError());
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return ZEVString(std::string(data, static_cast<std::size_t>(n > 0 ? n : 0)));
}

ZEVASNx500Name ZEVASNCertificateList::getIssuer() const {
  const Impl& impl = implOf(impl_, der_);
  return ZEVASNx500Name::fromDER(
      ZEVASNCBuffer(der_.getValue() + impl.issuer.start, impl.issuer.end() - impl.issuer.start));
}

ZEVString ZEVASNCertificateList::getThisUpdate() const {
  const Impl& impl = implOf(impl_, der_);
  return timeText(der::readTime(der_.getValue(), impl.thisUpdate, "thisUpdate"));
}

ZEVString ZEVASNCertificateList::getNextUpdate() const {
  const Impl& impl = implOf(impl_, der_);
  if (!impl.hasNextUpdate) return ZEVString();
  return timeText(der::readTime(der_.getValue(), impl.nextUpdate, "nextUpdate"));
}

ZEVEpochSeconds ZEVASNCertificateList::getThisUpdateTime() const {
  const Impl& impl = implOf(impl_, der_);
  return der::readTime(der_.getValue(), impl.thisUpdate, "thisUpdate").epochSeconds();
}

bool ZEVASNCertificateList::getNextUpdateTime(ZEVEpochSeconds& time) const {
  const Impl& impl = implOf(impl_, der_);
  if (!impl.hasNextUpdate) return false;
  time = der::readTime(der_.getValue(), impl.nextUpdate, "nextUpdate").epochSeconds();
  return true;
}

namespace {

// The list's extensions with the given OID, in order.
std::vector<Extension> listExtensions(const unsigned char* d,
                                      const ZEVASNCertificateList::Impl& impl,
                                      const unsigned char (&oid)[3]) {
  std::vector<Extension> found;
  if (!impl.hasExtensions) return found;
  Reader r(d, impl.extensions.content, impl.extensions.end());
  while (!r.atEnd()) {
    Extension ext = readExtension(d, r.any("crlExtensions"), "crlExtensions");
    if (oidIs(d, ext.oid, oid)) found.push_back(ext);
  }
  return found;
}

// Dotted text of an OID, given its whole DER, as OpenSSL writes it.
std::string oidText(const std::string& oidDer) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(oidDer.data());
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oidDer.size()));
  std::string out("(unreadable OID)");
  char text[128];
  int n = object != nullptr ? OBJ_obj2txt(text, sizeof text, object, 1) : 0;
  if (n > 0) out.assign(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
  ASN1_OBJECT_free(object);
  ERR_clear_error();
  return out;
}

void addOnce(std::vector<ZEVString>& out, const ZEVString& oid) {
  if (std::find(out.begin(), out.end(), oid) == out.end()) out.push_back(oid);
}

}  // namespace

ZEVCRLScope ZEVASNCertificateList::getScope() const {
  const Impl& impl = implOf(impl_, der_);
  const unsigned char* d = der_.getValue();
  ZEVCRLScope scope;
  // As OpenSSL's extension lookup: an extension that appears twice counts as absent.
  std::vector<Extension> idps = listExtensions(d, impl, kOidIssuingDistPoint);
  if (idps.size() == 1) {
    const unsigned char* p = d + idps[0].value.content;
    ISSUING_DIST_POINT* idp =
        d2i_ISSUING_DIST_POINT(nullptr, &p, static_cast<long>(idps[0].value.length));
    if (idp != nullptr) {
      scope.onlyUserCerts = idp->onlyuser > 0;
      scope.onlyCACerts = idp->onlyCA > 0;
      scope.onlyAttributeCerts = idp->onlyattr > 0;
      scope.onlySomeReasons = idp->onlysomereasons != nullptr;
      scope.indirect = idp->indirectCRL > 0;
      if (idp->distpoint != nullptr) {
        scope.partitioned = true;
        if (idp->distpoint->type == 0) {
          scope.distributionPoints = asn::uriNames(idp->distpoint->name.fullname);
        }
      }
      ISSUING_DIST_POINT_free(idp);
    }
  }
  scope.delta = !listExtensions(d, impl, kOidDeltaCrl).empty();
  std::vector<Extension> numbers = listExtensions(d, impl, kOidCrlNumber);
  if (numbers.size() == 1) {
    const unsigned char* p = d + numbers[0].value.content;
    ASN1_INTEGER* number =
        d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(numbers[0].value.length));
    BIGNUM* bn = number != nullptr ? ASN1_INTEGER_to_BN(number, nullptr) : nullptr;
    char* hex = bn != nullptr ? BN_bn2hex(bn) : nullptr;
    if (hex != nullptr) scope.crlNumber = ZEVString(hex);
    OPENSSL_free(hex);
    BN_free(bn);
    ASN1_INTEGER_free(number);
  }
  ERR_clear_error();
  if (impl.hasExtensions) {
    Reader r(d, impl.extensions.content, impl.extensions.end());
    while (!r.atEnd()) {
      Extension ext = readExtension(d, r.any("crlExtensions"), "crlExtensions");
      if (!ext.critical || knownExtension(d, ext.oid)) continue;
      addOnce(scope.unknownCritical,
              ZEVString(oidText(std::string(reinterpret_cast<const char*>(d + ext.oid.start),
                                            ext.oid.end() - ext.oid.start))));
    }
  }
  for (const std::string& oid : impl.entryUnknownCritical) {
    addOnce(scope.unknownCritical, ZEVString(oidText(oid)));
  }
  return scope;
}

std::size_t ZEVASNCertificateList::getRevokedCount() const {
  return implOf(impl_, der_).entries.size();
}

namespace {

int compareSerials(const unsigned char* d, const Tlv& a, const Tlv& b) {
  if (a.length != b.length) return a.length < b.length ? -1 : 1;
  return std::memcmp(d + a.content, d + b.content, a.length);
}

std::uint64_t serialPrefix(const unsigned char* bytes, std::size_t length) {
  std::uint64_t prefix = std::min<std::size_t>(length, 255);
  for (std::size_t i = 0; i < 7; ++i) prefix = prefix << 8 | (i < length ? bytes[i] : 0);
  return prefix;
}

}  // namespace

// Design: the index is a sorted array, made on the first lookup rather than in the
// validating pass, so that a list that is only listed or printed never pays for it; sorting
// keeps the lookup O(log n) whatever serials a hostile list carries (a hash could be flooded).
void ZEVASNCertificateList::Impl::buildIndex(const unsigned char* d) const {
  std::vector<Key> keys(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Tlv s = entrySerial(d, i);
    keys[i] = Key{serialPrefix(d + s.content, s.length), static_cast<std::uint32_t>(i)};
  }
  // Equal serials stay in list order, so a lookup finds the first entry, as a scan would.
  std::sort(keys.begin(), keys.end(), [this, d](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int c = compareSerials(d, entrySerial(d, a.entry), entrySerial(d, b.entry));
    return c != 0 ? c < 0 : a.entry < b.entry;
  });
  index = std::move(keys);
}

namespace {

// The reason and date of one validated entry, as OpenSSL reports them.
ZEVRevocationInfo entryInfo(const unsigned char* d, const ZEVASNCertificateList::Impl& impl,
                            std::size_t i) {
  Reader e(d, impl.entries[i], impl.tbs.end());
  Tlv entry = e.any("revoked entry");
  Reader f(d, entry.content, entry.end());
  f.any("revoked entry serial");
  der::Time date = der::readTime(d, f.any("revoked entry date"), "revoked entry date");
  ZEVRevocationInfo info{true, timeText(date), ZEVString("unspecified")};
  info.dateTime = date.epochSeconds();
  if (f.atEnd()) return info;
  Tlv exts = f.any("revoked entry extensions");
  Reader r(d, exts.content, exts.end());
  while (!r.atEnd()) {
    Extension ext = readExtension(d, r.any("revoked entry extension"), "revoked entry extension");
    if (!oidIs(d, ext.oid, kOidReasonCode)) continue;
    const unsigned char* p = d + ext.value.content;
    ASN1_ENUMERATED* reason = d2i_ASN1_ENUMERATED(nullptr, &p, static_cast<long>(ext.value.length));
    if (reason != nullptr) {
      long code = ASN1_ENUMERATED_get(reason);
      ASN1_ENUMERATED_free(reason);
      const long known = static_cast<long>(sizeof kReasonNames / sizeof kReasonNames[0]);
      if (code >= 0 && code < known && kReasonNames[code] != nullptr) {
        info.reason = kReasonNames[code];
      } else {
        info.reason = ZEVString("unknown reason " + std::to_string(code));
      }
    }
    ERR_clear_error();
    break;
  }
  return info;
}

}  // namespace

// By serial number only: the caller picks the CRL of the certificate's issuer.
ZEVRevocationInfo ZEVASNCertificateList::findRevoked(const ZEVASNx509Certificate& cert) const {
  const Impl& impl = implOf(impl_, der_);
  const std::string serial = asn::serialContent(cert);
  const unsigned char* d = der_.getValue();
  std::call_once(impl.indexOnce, [&impl, d] { impl.buildIndex(d); });
  const unsigned char* s = reinterpret_cast<const unsigned char*>(serial.data());
  const Impl::Key probe{serialPrefix(s, serial.size()), 0};
  auto less = [&](const Impl::Key& a, const Impl::Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    // b is the probe here (lower_bound's order): compare the entry's serial to it.
    Tlv t = impl.entrySerial(d, a.entry);
    if (t.length != serial.size()) return t.length < serial.size();
    return std::memcmp(d + t.content, s, t.length) < 0;
  };
  auto it = std::lower_bound(impl.index.begin(), impl.index.end(), probe, less);
  if (it != impl.index.end() && it->prefix == probe.prefix) {
    Tlv t = impl.entrySerial(d, it->entry);
    if (t.length == serial.size() && std::memcmp(d + t.content, s, t.length) == 0) {
      return entryInfo(d, impl, it->entry);
    }
  }
  return ZEVRevocationInfo{false, ZEVString(), ZEVString()};
}

ZEVRevocationInfo ZEVASNCertificateList::getRevokedEntry(std::size_t index,
                                                         ZEVString& serialHex) const {
  const Impl& impl = implOf(impl_, der_);
  if (index >= impl.entries.size()) {
    fail(__LINE__, "revoked entry " + std::to_string(index) + " of a list of " +
                       std::to_string(impl.entries.size()));
  }
  const unsigned char* d = der_.getValue();
  Tlv s = impl.entrySerial(d, index);
  // The serial as "openssl crl -text" and the certificate accessor print it.
  const unsigned char* p = d + s.start;
  ASN1_INTEGER* serial = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(s.end() - s.start));
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (serial == nullptr || !bio || i2a_ASN1_INTEGER(bio.get(), serial) < 0) {
    ASN1_INTEGER_free(serial);
    fail(__LINE__, "cannot print a revoked serial number: " + asn::opensslError());
  }
  ASN1_INTEGER_free(serial);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  serialHex = ZEVString(std::string(data, static_cast<std::size_t>(n > 0 ? n : 0)));
  return entryInfo(d, impl, index);
}

// False for an empty issuer object, a certificate without a usable key, or a bad signature.
// The same checks as OpenSSL's X509_CRL_verify: both algorithm identifiers alike, no unused
// bits in the signature, the key of the algorithm's type; then EVP over the tbsCertList bytes.
bool ZEVASNCertificateList::verifySignature(const ZEVASNx509Certificate& issuer) const {
  const Impl& impl = implOf(impl_, der_);
  EVP_PKEY* key = asn::publicKey(issuer);
  if (key == nullptr) return false;
  const unsigned char* d = der_.getValue();
  const std::size_t algLength = impl.outerAlg.end() - impl.outerAlg.start;
  if (algLength != impl.innerAlg.end() - impl.innerAlg.start ||
      std::memcmp(d + impl.outerAlg.start, d + impl.innerAlg.start, algLength) != 0) {
    return false;
  }
  if (d[impl.signature.content] != 0) return false;

  const unsigned char* p = d + impl.outerAlg.start;
  X509_ALGOR* alg = d2i_X509_ALGOR(nullptr, &p, static_cast<long>(algLength));
  ASN1_BIT_STRING* sig = ASN1_BIT_STRING_new();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = false;
  int mdnid = NID_undef, pknid = NID_undef;
  if (alg != nullptr && sig != nullptr && ctx != nullptr &&
      OBJ_find_sigid_algs(OBJ_obj2nid(alg->algorithm), &mdnid, &pknid) == 1) {
    if (mdnid == NID_undef && pknid != NID_ED25519 && pknid != NID_ED448) {
      // Parameterised schemes (RSA-PSS): OpenSSL's item verification reads the parameters.
      // It digests an encoding of the data, so the tbsCertList goes in as a value of any
      // type whose encoding is exactly its bytes (a copy; such lists are rare).
      ASN1_TYPE* tbsAny = ASN1_TYPE_new();
      ASN1_STRING* tbsBytes = ASN1_STRING_new();
      ok = tbsAny != nullptr && tbsBytes != nullptr &&
           ASN1_BIT_STRING_set(sig, const_cast<unsigned char*>(d + impl.signature.content + 1),
                               static_cast<int>(impl.signature.length - 1)) == 1 &&
           ASN1_STRING_set(tbsBytes, d + impl.tbs.start,
                           static_cast<int>(impl.tbs.end() - impl.tbs.start)) == 1;
      if (ok) {
        ASN1_TYPE_set(tbsAny, V_ASN1_SEQUENCE, tbsBytes);
        tbsBytes = nullptr;
        ok = ASN1_item_verify(ASN1_ITEM_rptr(ASN1_ANY), alg, sig, tbsAny, key) == 1;
      }
      ASN1_STRING_free(tbsBytes);
      ASN1_TYPE_free(tbsAny);
    } else {
      const EVP_MD* md = mdnid != NID_undef ? EVP_get_digestbynid(mdnid) : nullptr;
      ok = EVP_PKEY_is_a(key, OBJ_nid2sn(pknid)) && (mdnid == NID_undef || md != nullptr) &&
           EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx, d + impl.signature.content + 1, impl.signature.length - 1,
                            d + impl.tbs.start, impl.tbs.end() - impl.tbs.start) == 1;
    }
  }
  EVP_MD_CTX_free(ctx);
  ASN1_BIT_STRING_free(sig);
  X509_ALGOR_free(alg);
  ERR_clear_error();
  return ok;
}

}  // namespace zev09000003
