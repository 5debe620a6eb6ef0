// Revocation lists read by the host layer's own DER reader, judged against OpenSSL's
// d2i_X509_CRL: lists made by the openssl command, the same lists mutated byte by byte, and
// hand-built lists of hostile shape. The reader must accept nothing OpenSSL refuses, refuse no
// list that OpenSSL accepts and that is DER throughout, and read the same fields from it.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/platform.h"
#include "zevasn.h"
#include "zevexception.h"

namespace {

using namespace zev09000003;
typedef std::vector<unsigned char> Bytes;

// The lists and certificates of scripts/make-test-crls, made once per process.
class Material {
 public:
  static const Material& get() {
    static const Material m;
    return m;
  }
  Bytes read(const std::string& file) const {
    std::ifstream in(dir_.file(file), std::ios::binary);
    if (!in) throw std::runtime_error("missing " + file);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  Material() : dir_("zevcrl.") {
    std::string cmd = std::string(ZEV_SOURCE_DIR) + "/scripts/make-test-crls " +
                      testsupport::shellQuoted(dir_.path());
    if (testsupport::runShell(cmd).status != 0) throw std::runtime_error("make-test-crls failed");
  }
  testsupport::TempDir dir_;
};

const char* const kLists[] = {"full", "plain", "empty", "scope", "ec", "ed", "pss"};

// What a reader makes of a list: refusal, or the fields both readers report, as text.
struct Reading {
  bool accepted = false;
  std::string fields;
};

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string hex(const unsigned char* p, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += "0123456789ABCDEF"[p[i] >> 4], out += "0123456789ABCDEF"[p[i] & 15];
  return out;
}

std::string timeText(const ASN1_TIME* t) {
  if (t == nullptr) return "";
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  ASN1_TIME_print(bio.get(), t);
  return bioText(bio.get());
}

std::string reasonText(X509_REVOKED* entry) {
  static const char* names[] = {"unspecified",   "keyCompromise",        "cACompromise",
                                "affiliationChanged", "superseded", "cessationOfOperation",
                                "certificateHold", nullptr,             "removeFromCRL",
                                "privilegeWithdrawn", "aACompromise"};
  int critical = 0;
  ASN1_ENUMERATED* reason = static_cast<ASN1_ENUMERATED*>(
      X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, &critical, nullptr));
  if (reason == nullptr) return "unspecified";
  long code = ASN1_ENUMERATED_get(reason);
  ASN1_ENUMERATED_free(reason);
  if (code >= 0 && code < 11 && names[code] != nullptr) return names[code];
  return "unknown reason " + std::to_string(code);
}

// True for a time in the one form DER and RFC 5280 allow: Z, whole seconds, a real date.
bool strictTime(const ASN1_TIME* t) {
  if (t == nullptr) return true;
  int n = ASN1_STRING_length(t);
  const unsigned char* s = ASN1_STRING_get0_data(t);
  int want = ASN1_STRING_type(t) == V_ASN1_UTCTIME ? 13 : 15;
  return ASN1_TIME_check(t) == 1 && n == want && s[n - 1] == 'Z';
}

// The scope of a list, from OpenSSL's own decoding of its extensions.
std::string opensslScope(X509_CRL* crl) {
  std::string out;
  int critical = 0;
  auto* idp = static_cast<ISSUING_DIST_POINT*>(
      X509_CRL_get_ext_d2i(crl, NID_issuing_distribution_point, &critical, nullptr));
  if (idp != nullptr) {
    out += std::string(idp->onlyuser > 0 ? "U" : "") + (idp->onlyCA > 0 ? "C" : "") +
           (idp->onlyattr > 0 ? "A" : "") + (idp->onlysomereasons ? "R" : "") +
           (idp->indirectCRL > 0 ? "I" : "");
    ISSUING_DIST_POINT_free(idp);
  }
  if (X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0) out += "D";
  auto* number =
      static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(crl, NID_crl_number, &critical, nullptr));
  if (number != nullptr) {
    BIGNUM* bn = ASN1_INTEGER_to_BN(number, nullptr);
    char* hex = BN_bn2hex(bn);
    out += std::string(" #") + hex;
    OPENSSL_free(hex);
    BN_free(bn);
    ASN1_INTEGER_free(number);
  }
  ERR_clear_error();
  return out;
}

std::string ourScope(const ZEVCRLScope& s) {
  std::string out = std::string(s.onlyUserCerts ? "U" : "") + (s.onlyCACerts ? "C" : "") +
                    (s.onlyAttributeCerts ? "A" : "") + (s.onlySomeReasons ? "R" : "") +
                    (s.indirect ? "I" : "") + (s.delta ? "D" : "");
  if (!s.crlNumber.empty()) out += " #" + s.crlNumber.str();
  return out;
}

// OpenSSL's reading; dered tells whether the list is DER throughout (OpenSSL re-encodes it
// to the same bytes, its times are strict and its reason codes are DER inside their values).
Reading opensslReading(const Bytes& der, bool& dered) {
  Reading r;
  dered = false;
  const unsigned char* p = der.data();
  X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
  ERR_clear_error();
  if (crl == nullptr) return r;
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> hold(crl, X509_CRL_free);
  if (p != der.data() + der.size()) return r;  // trailing bytes: refused as a whole
  r.accepted = true;

  unsigned char* whole = nullptr;
  unsigned char* tbs = nullptr;
  int n = i2d_X509_CRL(crl, &whole);
  int t = i2d_re_X509_CRL_tbs(crl, &tbs);
  std::size_t header = der.size() > 1 && der[1] < 0x80 ? 2 : 2 + (der.size() > 1 ? der[1] & 0x7F : 0);
  dered = n == static_cast<int>(der.size()) && std::equal(der.begin(), der.end(), whole) &&
          t > 0 && header + t <= der.size() && std::equal(tbs, tbs + t, der.begin() + header) &&
          strictTime(X509_CRL_get0_lastUpdate(crl)) && strictTime(X509_CRL_get0_nextUpdate(crl));
  OPENSSL_free(whole);
  OPENSSL_free(tbs);

  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  unsigned char* name = nullptr;
  int nameLength = i2d_X509_NAME(X509_CRL_get_issuer(crl), &name);
  r.fields = "issuer=" + hex(name, nameLength) + "\nthis=" + timeText(X509_CRL_get0_lastUpdate(crl)) +
             "\nnext=" + timeText(X509_CRL_get0_nextUpdate(crl)) + "\nscope=" + opensslScope(crl);
  OPENSSL_free(name);
  STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl);
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i) {
    X509_REVOKED* e = sk_X509_REVOKED_value(revoked, i);
    BIO_reset(bio.get());
    i2a_ASN1_INTEGER(bio.get(), X509_REVOKED_get0_serialNumber(e));
    r.fields += "\n" + bioText(bio.get()) + " " + timeText(X509_REVOKED_get0_revocationDate(e)) +
                " " + reasonText(e);
    dered = dered && strictTime(X509_REVOKED_get0_revocationDate(e));
    int at = X509_REVOKED_get_ext_by_NID(e, NID_crl_reason, -1);
    if (at >= 0) {
      const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_REVOKED_get_ext(e, at));
      int critical = 0;
      auto* code = static_cast<ASN1_ENUMERATED*>(
          X509_REVOKED_get_ext_d2i(e, NID_crl_reason, &critical, nullptr));
      unsigned char* enc = nullptr;
      int k = code != nullptr ? i2d_ASN1_ENUMERATED(code, &enc) : -1;
      dered = dered && k == ASN1_STRING_length(value) &&
              std::equal(enc, enc + k, ASN1_STRING_get0_data(value));
      OPENSSL_free(enc);
      ASN1_ENUMERATED_free(code);
    }
  }
  ERR_clear_error();
  return r;
}

Reading ourReading(const Bytes& der, std::string* error = nullptr) {
  Reading r;
  ZEVASNCertificateList crl;
  try {
    crl.setDER(ZEVASNCBuffer(der.data(), der.size()));
  } catch (const ZEVException& e) {
    if (error != nullptr) *error = e.getMessage().str();
    return r;
  }
  r.accepted = true;
  std::string next = crl.getNextUpdate().str();
  ZEVFastBuffer name = crl.getIssuer().getDER();
  r.fields = "issuer=" + hex(name.getValue(), static_cast<int>(name.getLength())) +
             "\nthis=" + crl.getThisUpdate().str() + "\nnext=" + next +
             "\nscope=" + ourScope(crl.getScope());
  for (std::size_t i = 0; i < crl.getRevokedCount(); ++i) {
    ZEVString serial;
    ZEVRevocationInfo info = crl.getRevokedEntry(i, serial);
    r.fields += "\n" + serial.str() + " " + info.date.str() + " " + info.reason.str();
  }
  return r;
}

// Runs both readers and checks the relation between them; returns whether ours accepted.
bool judge(const Bytes& der, const std::string& label) {
  bool dered = false;
  Reading theirs = opensslReading(der, dered);
  std::string error;
  Reading ours = ourReading(der, &error);
  if (ours.accepted) {
    EXPECT_TRUE(theirs.accepted) << label << ": accepted what OpenSSL refuses";
    EXPECT_EQ(theirs.fields, ours.fields) << label;
  } else {
    EXPECT_FALSE(theirs.accepted && dered) << label << ": refused a DER list OpenSSL accepts: "
                                          << error;
    EXPECT_NE(error.find("CRL does not decode"), std::string::npos) << label << ": " << error;
  }
  return ours.accepted;
}

TEST(CertificateListReader, ReadsWhatOpenSSLReadsFromListsOfEveryShape) {
  for (const char* name : kLists) {
    Bytes der = Material::get().read(std::string(name) + ".der");
    EXPECT_TRUE(judge(der, name)) << name << " was refused";
  }
}

// Every byte changed four ways, every length cut, a byte inserted at each position.
TEST(CertificateListReader, AgreesWithOpenSSLOnMutatedLists) {
  for (const char* name : {"full", "scope", "ec"}) {
    const Bytes base = Material::get().read(std::string(name) + ".der");
    std::size_t accepted = 0, cases = 0;
    for (std::size_t i = 0; i < base.size(); ++i) {
      for (unsigned char how : {0x01, 0x80, 0x00, 0xFF}) {
        Bytes m = base;
        m[i] = how == 0x00 || how == 0xFF ? how : static_cast<unsigned char>(m[i] ^ how);
        if (m == base) continue;
        accepted += judge(m, std::string(name) + " byte " + std::to_string(i) + " -> " +
                                 std::to_string(m[i]));
        ++cases;
      }
      Bytes cut(base.begin(), base.begin() + static_cast<long>(i));
      accepted += judge(cut, std::string(name) + " cut at " + std::to_string(i));
      Bytes grown = base;
      grown.insert(grown.begin() + static_cast<long>(i), 0x00);
      accepted += judge(grown, std::string(name) + " zero inserted at " + std::to_string(i));
      cases += 2;
    }
    // Changes inside the signature leave a list that still decodes: the comparison is real.
    EXPECT_GT(accepted, 0u) << name;
    EXPECT_LT(accepted, cases) << name;
    if (HasFailure()) return;  // one list's report is enough to read
  }
}

// ---- lists built by hand, for shapes the openssl command never writes ----

Bytes tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes len;
    for (; n > 0; n >>= 8) len.insert(len.begin(), static_cast<unsigned char>(n & 0xFF));
    out.push_back(static_cast<unsigned char>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes kSha256Rsa = tlv(0x30, cat({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                                                   0x01, 0x0B}),
                                        tlv(0x05, {})}));
const Bytes kName = tlv(0x30, tlv(0x31, tlv(0x30, cat({tlv(0x06, {0x55, 0x04, 0x03}),
                                                        tlv(0x0C, text("CRL CA"))}))));
const Bytes kWhen = tlv(0x17, text("260101000000Z"));
const Bytes kReasonKey = tlv(0x30, cat({tlv(0x06, {0x55, 0x1D, 0x15}),
                                        tlv(0x04, tlv(0x0A, {0x01}))}));

Bytes entry(const Bytes& serial, const Bytes& extra = {}) {
  return tlv(0x30, cat({tlv(0x02, serial), kWhen, extra}));
}
Bytes list(const Bytes& tbsBody, const Bytes& alg = kSha256Rsa) {
  return tlv(0x30, cat({tlv(0x30, tbsBody), alg, tlv(0x03, {0x00, 0x01, 0x02})}));
}
Bytes standard(const Bytes& entries, const Bytes& version = tlv(0x02, {0x01})) {
  return list(cat({version, kSha256Rsa, kName, kWhen, kWhen, entries}));
}

// Shapes the byte-by-byte mutations of real lists cannot reach, each pinning a decision of
// the reader (and still judged against OpenSSL).
TEST(CertificateListReader, DecidesHandBuiltShapes) {
  Bytes nested = tlv(0x05, {});
  for (int i = 0; i < 20000; ++i) nested = tlv(0x30, nested);
  Bytes tiny;
  for (unsigned i = 0; i < 100000; ++i) {
    tiny.insert(tiny.end(), {0x30, 0x13, 0x02, 0x02, static_cast<unsigned char>(0x10 | (i >> 8 & 0x0F)),
                             static_cast<unsigned char>(i & 0xFF)});
    tiny.insert(tiny.end(), kWhen.begin(), kWhen.end());
  }
  Bytes longLength = standard({});
  longLength.insert(longLength.begin() + 1, 0x82);
  longLength[2] = 0x00;
  auto thisUpdate = [](const Bytes& time) {
    return list(cat({tlv(0x02, {0x01}), kSha256Rsa, kName, time}));
  };
  auto reason = [](const Bytes& extension) {
    return standard(tlv(0x30, entry({0x05}, tlv(0x30, extension))));
  };
  const Bytes reasonOid = tlv(0x06, {0x55, 0x1D, 0x15});
  const struct {
    const char* name;
    Bytes der;
    bool accepted;
  } rows[] = {
      {"version absent, with entries", standard(tlv(0x30, entry({0x05})), {}), true},
      {"empty list extensions", standard(tlv(0xA0, tlv(0x30, {}))), true},
      {"reasonCode twice", reason(cat({kReasonKey, kReasonKey})), false},
      {"reasonCode as INTEGER", reason(tlv(0x30, cat({reasonOid, tlv(0x04, tlv(0x02, {0x01}))}))),
       false},
      {"critical FALSE stated",
       standard(tlv(0xA0, tlv(0x30, tlv(0x30, cat({tlv(0x06, {0x55, 0x1D, 0x14}), tlv(0x01, {0x00}),
                                                   tlv(0x04, tlv(0x02, {0x01}))}))))),
       true},
      {"empty serial", standard(tlv(0x30, entry({}))), false},
      {"UTCTime without seconds", thisUpdate(tlv(0x17, text("2601010000Z"))), false},
      {"GeneralizedTime with a fraction", thisUpdate(tlv(0x18, text("20260101000000.5Z"))), false},
      {"29 February 2028", thisUpdate(tlv(0x17, text("280229000000Z"))), true},
      {"29 February 2027", thisUpdate(tlv(0x17, text("270229000000Z"))), false},
      {"GeneralizedTime", thisUpdate(tlv(0x18, text("20500101000000Z"))), true},
      {"parameters nested 20000 deep",
       list(cat({kSha256Rsa, kName, kWhen}), tlv(0x30, cat({tlv(0x06, {0x2A, 0x03}), nested}))),
       true},
      {"length in long form", longLength, false},
      {"indefinite length", cat({{0x30, 0x80}, standard({}), {0x00, 0x00}}), false},
      {"100000 tiny entries", standard(tlv(0x30, tiny)), true},
  };
  for (const auto& row : rows) EXPECT_EQ(row.accepted, judge(row.der, row.name)) << row.name;
}

// ---- the interface over a real list ----

TEST(CertificateListReader, FindsRevokedSerialsAsOpenSSLDoes) {
  const Bytes der = Material::get().read("full.der");
  const unsigned char* p = der.data();
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> theirs(
      d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())), X509_CRL_free);
  ASSERT_TRUE(theirs);
  ZEVASNCertificateList ours;
  ours.setDER(ZEVASNCBuffer(der.data(), der.size()));
  for (const char* serial : {"01", "80", "1234", "0200", "FFEEDDCCBBAA99887766554433221100"}) {
    Bytes certDer = Material::get().read(std::string("serial-") + serial + ".der");
    ZEVASNx509Certificate cert;
    cert.setDER(ZEVASNCBuffer(certDer.data(), certDer.size()));
    const unsigned char* q = certDer.data();
    std::unique_ptr<X509, decltype(&X509_free)> x(
        d2i_X509(nullptr, &q, static_cast<long>(certDer.size())), X509_free);
    // By serial alone, as the reader looks up (the caller picks the issuer's list).
    X509_REVOKED* entry = nullptr;
    bool revoked =
        X509_CRL_get0_by_serial(theirs.get(), &entry, X509_get0_serialNumber(x.get())) == 1;
    ZEVRevocationInfo info = ours.findRevoked(cert);
    EXPECT_EQ(revoked, info.revoked) << serial;
    if (!revoked || !info.revoked) continue;
    EXPECT_EQ(timeText(X509_REVOKED_get0_revocationDate(entry)), info.date.str()) << serial;
    EXPECT_EQ(reasonText(entry), info.reason.str()) << serial;
    int day = 0, sec = 0;
    ASN1_TIME* epoch = ASN1_TIME_set(nullptr, 0);
    ASN1_TIME_diff(&day, &sec, epoch, X509_REVOKED_get0_revocationDate(entry));
    ASN1_TIME_free(epoch);
    EXPECT_EQ(day * 86400LL + sec, info.dateTime) << serial;
  }
}

TEST(CertificateListReader, VerifiesSignaturesAsOpenSSLDoes) {
  struct Row {
    const char* list;
    const char* issuer;
  } rows[] = {{"full", "rsa"}, {"ec", "ec"}, {"ed", "ed"}, {"pss", "rsa"},
              {"full", "ec"},  {"ec", "rsa"}, {"pss", "ed"}};
  for (const Row& row : rows) {
    for (bool damaged : {false, true}) {
      Bytes der = Material::get().read(std::string(row.list) + ".der");
      if (damaged) der[der.size() - 3] ^= 0x01;  // inside the signature value
      Bytes certDer = Material::get().read(std::string("ca-") + row.issuer + ".pem");
      BIO* bio = BIO_new_mem_buf(certDer.data(), static_cast<int>(certDer.size()));
      std::unique_ptr<X509, decltype(&X509_free)> x(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr),
                                                    X509_free);
      BIO_free(bio);
      ASSERT_TRUE(x);
      unsigned char* xder = nullptr;
      int xn = i2d_X509(x.get(), &xder);
      ZEVASNx509Certificate issuer;
      issuer.setDER(ZEVASNCBuffer(xder, static_cast<std::size_t>(xn)));
      OPENSSL_free(xder);
      const unsigned char* p = der.data();
      std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> theirs(
          d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())), X509_CRL_free);
      bool expected = X509_CRL_verify(theirs.get(), X509_get0_pubkey(x.get())) == 1;
      ERR_clear_error();
      ZEVASNCertificateList ours;
      ours.setDER(ZEVASNCBuffer(der.data(), der.size()));
      EXPECT_EQ(expected, ours.verifySignature(issuer))
          << row.list << " by " << row.issuer << (damaged ? " (damaged)" : "");
      if (!damaged && std::string(row.list) == (std::string(row.issuer) == "rsa" ? "full" : row.issuer)) {
        EXPECT_TRUE(expected) << row.list;
      }
    }
  }
}

TEST(CertificateListReader, WritesTheSamePEMAsOpenSSL) {
  for (const char* name : kLists) {
    Bytes pem = Material::get().read(std::string(name) + ".pem");
    Bytes der = Material::get().read(std::string(name) + ".der");
    ZEVASNCertificateList crl;
    crl.setDER(ZEVASNCBuffer(der.data(), der.size()));
    EXPECT_EQ(std::string(pem.begin(), pem.end()), crl.getPEM().str()) << name;
  }
}

}  // namespace
