// The revocation list reader against OpenSSL's d2i_X509_CRL on arbitrary bytes: the reader
// must never accept what OpenSSL refuses, and when both accept, both must read the same
// issuer, dates, revoked serials, dates and reasons. (A list OpenSSL accepts and the reader
// refuses is allowed here: it is not DER throughout; the unit test judges that case with
// OpenSSL's re-encoding.)
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "zevasn.h"
#include "zevexception.h"

namespace {

using namespace zev09000003;

// What print writes into a memory BIO.
template <class Print>
std::string printed(Print print) {
  BIO* bio = BIO_new(BIO_s_mem());
  print(bio);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, n > 0 ? static_cast<std::size_t>(n) : 0);
  BIO_free(bio);
  return out;
}

std::string timeText(const ASN1_TIME* t) {
  return t == nullptr ? "" : printed([t](BIO* bio) { ASN1_TIME_print(bio, t); });
}

std::string serialText(const ASN1_INTEGER* serial) {
  return printed([serial](BIO* bio) { i2a_ASN1_INTEGER(bio, serial); });
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "crl_reader: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  X509_CRL* theirs = d2i_X509_CRL(nullptr, &p, static_cast<long>(size));
  bool opensslAccepts = theirs != nullptr && p == data + size;
  ERR_clear_error();

  ZEVASNCertificateList ours;
  bool accepted = true;
  try {
    ours.setDER(ZEVASNCBuffer(data, size));
  } catch (const ZEVException&) {
    accepted = false;
  }
  check(!accepted || opensslAccepts, "accepted what OpenSSL refuses");
  if (accepted) {
    unsigned char* name = nullptr;
    int n = i2d_X509_NAME(X509_CRL_get_issuer(theirs), &name);
    ZEVFastBuffer issuer = ours.getIssuer().getDER();
    check(n == static_cast<int>(issuer.getLength()) &&
              std::equal(name, name + n, issuer.getValue()),
          "issuer differs");
    OPENSSL_free(name);
    check(timeText(X509_CRL_get0_lastUpdate(theirs)) == ours.getThisUpdate().str(),
          "thisUpdate differs");
    check(timeText(X509_CRL_get0_nextUpdate(theirs)) == ours.getNextUpdate().str(),
          "nextUpdate differs");
    STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(theirs);
    const int count = revoked != nullptr ? sk_X509_REVOKED_num(revoked) : 0;
    check(static_cast<std::size_t>(count) == ours.getRevokedCount(),
          "revoked count differs");
    for (std::size_t i = 0; i < ours.getRevokedCount(); ++i) {
      X509_REVOKED* e = sk_X509_REVOKED_value(revoked, static_cast<int>(i));
      ZEVString serial;
      ZEVRevocationInfo info = ours.getRevokedEntry(i, serial);
      check(serialText(X509_REVOKED_get0_serialNumber(e)) == serial.str(), "serial differs");
      check(timeText(X509_REVOKED_get0_revocationDate(e)) == info.date.str(), "date differs");
    }
    ours.getScope();
    ours.getPEM();
  }
  X509_CRL_free(theirs);
  ERR_clear_error();
  return 0;
}
