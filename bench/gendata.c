/* Benchmark data, encoded and signed by OpenSSL: a revocation list of N entries (16-byte
 * serials, a revocation date and a reasonCode each, as a busy CA writes them) and an LDIF of
 * user certificates issued by the same CA.
 *
 *   gendata crl CAKEY CACERT N OUT.der [OUT.pem]
 *   gendata certs CAKEY CACERT N BASEDN OUT.ldif
 *
 * The entries are encoded one at a time with i2d_X509_REVOKED and streamed into the list, so
 * a list of millions of entries never exists as OpenSSL objects all at once. */
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void die(const char *what) {
  fprintf(stderr, "gendata: %s\n", what);
  ERR_print_errors_fp(stderr);
  exit(1);
}

typedef struct {
  unsigned char *data;
  size_t len, cap;
} Buf;

static void put(Buf *b, const void *p, size_t n) {
  if (b->len + n > b->cap) {
    b->cap = (b->len + n) * 2;
    b->data = realloc(b->data, b->cap);
    if (b->data == NULL) die("out of memory");
  }
  memcpy(b->data + b->len, p, n);
  b->len += n;
}

/* A DER header: tag and definite length. */
static void header(Buf *b, unsigned char tag, size_t n) {
  unsigned char h[6];
  size_t k = 0;
  h[k++] = tag;
  if (n < 0x80) {
    h[k++] = (unsigned char)n;
  } else {
    int bytes = n > 0xFFFFFF ? 4 : n > 0xFFFF ? 3 : n > 0xFF ? 2 : 1;
    h[k++] = (unsigned char)(0x80 | bytes);
    for (int i = bytes - 1; i >= 0; --i) h[k++] = (unsigned char)(n >> (8 * i));
  }
  put(b, h, k);
}

static void wrap(Buf *out, unsigned char tag, const Buf *in) {
  header(out, tag, in->len);
  put(out, in->data, in->len);
}

/* Appends the DER that the i2d function of OpenSSL writes of x. */
#define PUT_DER(buf, i2d, x)                  \
  do {                                        \
    unsigned char *der_ = NULL;               \
    int n_ = i2d((x), &der_);                 \
    if (n_ <= 0) die("cannot encode");        \
    put((buf), der_, (size_t)n_);             \
    OPENSSL_free(der_);                       \
  } while (0)

/* The CA: its private key and its certificate, from PEM files. */
static void readCA(const char *keyPath, const char *certPath, EVP_PKEY **key, X509 **cert) {
  FILE *k = fopen(keyPath, "r");
  if (k == NULL) die("cannot open the key");
  FILE *c = fopen(certPath, "r");
  if (c == NULL) die("cannot open the certificate");
  *key = PEM_read_PrivateKey(k, NULL, NULL, NULL);
  *cert = PEM_read_X509(c, NULL, NULL, NULL);
  fclose(k);
  fclose(c);
  if (*key == NULL) die("cannot read the key");
  if (*cert == NULL) die("cannot read the certificate");
}

static void randomSerial(ASN1_INTEGER *serial) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) die("no random bytes");
  bytes[0] = (unsigned char)((bytes[0] & 0x7F) | 0x40); /* 16 bytes, positive */
  BIGNUM *bn = BN_bin2bn(bytes, sizeof bytes, NULL);
  if (bn == NULL || BN_to_ASN1_INTEGER(bn, serial) == NULL) die("cannot make a serial");
  BN_free(bn);
}

static int makeCrl(EVP_PKEY *key, X509 *ca, long n, const char *derPath, const char *pemPath) {
  X509_ALGOR *alg = X509_ALGOR_new();
  X509_ALGOR_set0(alg, OBJ_nid2obj(NID_ecdsa_with_SHA256), V_ASN1_UNDEF, NULL);
  Buf algDer = {0}, entries = {0}, tbsBody = {0}, tbs = {0}, body = {0}, crl = {0};
  PUT_DER(&algDer, i2d_X509_ALGOR, alg);

  time_t now = time(NULL);
  ASN1_INTEGER *serial = ASN1_INTEGER_new();
  ASN1_ENUMERATED *reason = ASN1_ENUMERATED_new();
  ASN1_ENUMERATED_set(reason, 1); /* keyCompromise */
  for (long i = 0; i < n; ++i) {
    X509_REVOKED *r = X509_REVOKED_new();
    randomSerial(serial);
    ASN1_TIME *when = ASN1_TIME_set(NULL, now - 86400 - i);
    X509_REVOKED_set_serialNumber(r, serial);
    X509_REVOKED_set_revocationDate(r, when);
    X509_REVOKED_add1_ext_i2d(r, NID_crl_reason, reason, 0, 0);
    PUT_DER(&entries, i2d_X509_REVOKED, r);
    ASN1_TIME_free(when);
    X509_REVOKED_free(r);
  }

  unsigned char version[] = {0x02, 0x01, 0x01};
  put(&tbsBody, version, sizeof version);
  put(&tbsBody, algDer.data, algDer.len);
  PUT_DER(&tbsBody, i2d_X509_NAME, X509_get_subject_name(ca));
  ASN1_TIME *thisUpdate = ASN1_TIME_set(NULL, now);
  ASN1_TIME *nextUpdate = ASN1_TIME_set(NULL, now + 7 * 86400);
  PUT_DER(&tbsBody, i2d_ASN1_TIME, thisUpdate);
  PUT_DER(&tbsBody, i2d_ASN1_TIME, nextUpdate);
  wrap(&tbsBody, 0x30, &entries);
  wrap(&tbs, 0x30, &tbsBody);

  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  size_t sigLen = 0;
  if (EVP_DigestSignInit(ctx, NULL, EVP_sha256(), NULL, key) != 1 ||
      EVP_DigestSign(ctx, NULL, &sigLen, tbs.data, tbs.len) != 1)
    die("cannot sign");
  unsigned char *sig = malloc(sigLen + 1);
  sig[0] = 0; /* no unused bits */
  if (EVP_DigestSign(ctx, sig + 1, &sigLen, tbs.data, tbs.len) != 1) die("cannot sign");
  put(&body, tbs.data, tbs.len);
  put(&body, algDer.data, algDer.len);
  header(&body, 0x03, sigLen + 1);
  put(&body, sig, sigLen + 1);
  wrap(&crl, 0x30, &body);

  /* OpenSSL must read what was written. */
  const unsigned char *p = crl.data;
  X509_CRL *check = d2i_X509_CRL(NULL, &p, (long)crl.len);
  if (check == NULL || p != crl.data + crl.len) die("the list does not decode");
  if (X509_CRL_verify(check, X509_get0_pubkey(ca)) != 1) die("the list does not verify");
  X509_CRL_free(check);

  FILE *f = fopen(derPath, "wb");
  if (f == NULL || fwrite(crl.data, 1, crl.len, f) != crl.len || fclose(f) != 0)
    die("cannot write the list");
  if (pemPath != NULL) {
    f = fopen(pemPath, "w");
    if (f == NULL || PEM_write(f, "X509 CRL", "", crl.data, (long)crl.len) <= 0 || fclose(f) != 0)
      die("cannot write the PEM list");
  }
  fprintf(stderr, "gendata: %s: %ld entries, %zu bytes\n", derPath, n, crl.len);
  return 0;
}

static int makeCerts(EVP_PKEY *key, X509 *ca, long n, const char *base, const char *ldifPath) {
  EVP_PKEY *userKey = EVP_EC_gen("P-256");
  if (userKey == NULL) die("cannot make a key");
  FILE *out = fopen(ldifPath, "w");
  if (out == NULL) die("cannot write the LDIF");
  fprintf(out, "dn: ou=people,%s\nobjectClass: organizationalUnit\nou: people\n\n", base);
  ASN1_INTEGER *serial = ASN1_INTEGER_new();
  for (long i = 0; i < n; ++i) {
    X509 *x = X509_new();
    char cn[64];
    snprintf(cn, sizeof cn, "User %06ld", i);
    X509_set_version(x, 2);
    randomSerial(serial);
    X509_set_serialNumber(x, serial);
    X509_NAME *name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, (const unsigned char *)"GB", -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char *)"Example", -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_ASC, (const unsigned char *)"people", -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1, 0);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, X509_get_subject_name(ca));
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 365L * 86400);
    X509_set_pubkey(x, userKey);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, ca, x, NULL, NULL, 0);
    X509_EXTENSION *e = X509V3_EXT_conf_nid(NULL, &v3, NID_basic_constraints, "CA:FALSE");
    X509_add_ext(x, e, -1);
    X509_EXTENSION_free(e);
    e = X509V3_EXT_conf_nid(NULL, &v3, NID_key_usage, "digitalSignature");
    X509_add_ext(x, e, -1);
    X509_EXTENSION_free(e);
    if (X509_sign(x, key, EVP_sha256()) <= 0) die("cannot sign a certificate");
    unsigned char *der = NULL;
    int len = i2d_X509(x, &der);
    unsigned char *b64 = malloc((size_t)len * 2 + 8);
    EVP_EncodeBlock(b64, der, len);
    fprintf(out, "dn: cn=%s,ou=people,%s\nobjectClass: inetOrgPerson\ncn: %s\nsn: %06ld\n"
                 "userCertificate;binary:: %s\n\n", cn, base, cn, i, b64);
    free(b64);
    OPENSSL_free(der);
    X509_NAME_free(name);
    X509_free(x);
  }
  if (fclose(out) != 0) die("cannot write the LDIF");
  return 0;
}

int main(int argc, char **argv) {
  EVP_PKEY *key;
  X509 *ca;
  if (argc >= 6 && strcmp(argv[1], "crl") == 0) {
    readCA(argv[2], argv[3], &key, &ca);
    return makeCrl(key, ca, atol(argv[4]), argv[5], argc > 6 ? argv[6] : NULL);
  }
  if (argc == 7 && strcmp(argv[1], "certs") == 0) {
    readCA(argv[2], argv[3], &key, &ca);
    return makeCerts(key, ca, atol(argv[4]), argv[5], argv[6]);
  }
  fprintf(stderr, "usage: gendata crl CAKEY CACERT N OUT.der [OUT.pem]\n"
                  "       gendata certs CAKEY CACERT N BASEDN OUT.ldif\n");
  return 2;
}
