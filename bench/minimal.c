/* The reference of the benchmark: the least a program does to fetch revocation lists or user
 * certificates with libldap, decode them with OpenSSL and print what `zevdir crls` and
 * `zevdir user-certs` print.
 *
 *   minimal URI crls DN          base search, certificateRevocationList;binary
 *   minimal URI user-certs DN    subtree search, userCertificate;binary */
#include <ldap.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void printName(const char *label, const X509_NAME *name) {
  BIO *bio = BIO_new_fp(stdout, BIO_NOCLOSE);
  fputs(label, stdout);
  fflush(stdout);
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  BIO_free(bio);
  fputc('\n', stdout);
}

static void printTime(const char *label, const ASN1_TIME *t) {
  BIO *bio = BIO_new_fp(stdout, BIO_NOCLOSE);
  fputs(label, stdout);
  fflush(stdout);
  if (t != NULL) ASN1_TIME_print(bio, t); else fputs("NONE", stdout);
  BIO_free(bio);
  fputc('\n', stdout);
}

static void printFingerprint(const unsigned char *md) {
  fputs("sha256 Fingerprint=", stdout);
  for (unsigned int i = 0; i < 32; ++i) printf(i ? ":%02X" : "%02X", md[i]);
  fputc('\n', stdout);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: minimal URI crls|user-certs DN\n");
    return 2;
  }
  int crls = strcmp(argv[2], "crls") == 0;
  char *attr = crls ? "certificateRevocationList;binary" : "userCertificate;binary";
  char *attrs[] = {attr, NULL};
  LDAP *ld = NULL;
  int version = LDAP_VERSION3;
  if (ldap_initialize(&ld, argv[1]) != LDAP_SUCCESS) return 3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  struct berval empty = {0, NULL};
  if (ldap_sasl_bind_s(ld, NULL, LDAP_SASL_SIMPLE, &empty, NULL, NULL, NULL) != LDAP_SUCCESS) return 3;
  char filter[64];
  snprintf(filter, sizeof filter, "(%s=*)", crls ? "certificateRevocationList" : "userCertificate");
  LDAPMessage *res = NULL;
  int rc = ldap_search_ext_s(ld, argv[3], crls ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE, filter,
                             attrs, 0, NULL, NULL, NULL, LDAP_NO_LIMIT, &res);
  if (rc != LDAP_SUCCESS) {
    fprintf(stderr, "minimal: search: %s\n", ldap_err2string(rc));
    return 3;
  }
  /* Decode everything first, as the number of objects heads each block. */
  size_t count = 0, cap = 0;
  void **objects = NULL;
  unsigned char (*digests)[32] = NULL; /* SHA-256 of each value */
  for (LDAPMessage *e = ldap_first_entry(ld, res); e != NULL; e = ldap_next_entry(ld, e)) {
    struct berval **vals = ldap_get_values_len(ld, e, attr);
    for (size_t i = 0; vals != NULL && vals[i] != NULL; ++i) {
      const unsigned char *p = (const unsigned char *)vals[i]->bv_val;
      void *object = crls ? (void *)d2i_X509_CRL(NULL, &p, (long)vals[i]->bv_len)
                          : (void *)d2i_X509(NULL, &p, (long)vals[i]->bv_len);
      if (object == NULL) continue;
      if (count == cap) {
        cap = cap ? cap * 2 : 16;
        objects = realloc(objects, cap * sizeof *objects);
        digests = realloc(digests, cap * sizeof *digests);
      }
      objects[count] = object;
      EVP_Digest(vals[i]->bv_val, vals[i]->bv_len, digests[count++], NULL, EVP_sha256(), NULL);
    }
    ldap_value_free_len(vals);
  }
  ldap_msgfree(res);
  ldap_unbind_ext_s(ld, NULL, NULL);
  for (size_t i = 0; i < count; ++i) {
    printf("%s# %s %zu of %zu\n", i ? "\n" : "", crls ? "revocation list" : "certificate", i + 1,
           count);
    if (crls) {
      X509_CRL *crl = objects[i];
      printName("issuer=", X509_CRL_get_issuer(crl));
      printTime("lastUpdate=", X509_CRL_get0_lastUpdate(crl));
      printTime("nextUpdate=", X509_CRL_get0_nextUpdate(crl));
      STACK_OF(X509_REVOKED) *revoked = X509_CRL_get_REVOKED(crl);
      printf("revoked=%d\n", revoked != NULL ? sk_X509_REVOKED_num(revoked) : 0);
      X509_CRL_free(crl);
    } else {
      X509 *x = objects[i];
      printName("subject=", X509_get_subject_name(x));
      printName("issuer=", X509_get_issuer_name(x));
      BIO *bio = BIO_new_fp(stdout, BIO_NOCLOSE);
      fputs("serial=", stdout);
      fflush(stdout);
      i2a_ASN1_INTEGER(bio, X509_get0_serialNumber(x));
      BIO_free(bio);
      fputc('\n', stdout);
      printTime("notBefore=", X509_get0_notBefore(x));
      printTime("notAfter=", X509_get0_notAfter(x));
      X509_free(x);
    }
    printFingerprint(digests[i]);
  }
  free(objects);
  free(digests);
  return 0;
}
