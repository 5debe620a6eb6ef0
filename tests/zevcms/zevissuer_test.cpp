// Whether a CA certificate issued a certificate or a revocation list: names, basic
// constraints, key usage and signatures, over the chain test PKI (made by openssl).
#include <gtest/gtest.h>

#include <memory>

#include "support/testpki.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

template <class T>
std::unique_ptr<T> load(const std::string& name) {
  const testpki::Bytes der = testpki::chain().der(name);
  std::unique_ptr<T> object(new T);
  object->setDER(ZEVASNCBuffer(der.data(), der.size()));
  return object;
}

const char kRoot[] = "CN=Chain Root,O=Example,C=GB";
const char kInter[] = "CN=Chain Intermediate,O=Example,C=GB";

// Certificates and revocation lists are issued only by a CA with the name, the key and the key
// usage for them.
TEST(IssuerCheck, IssuedOnlyByACAWithTheNameKeyAndKeyUsage) {
  const struct {
    const char* object;  // a certificate, or a revocation list when list is true
    bool list;
    const char* issuer;
    std::string why;  // "" when issued; else the start of the reason
  } rows[] = {
      {"leaf-good", false, "inter", ""},
      {"inter", false, "root", ""},
      {"root", false, "root", ""},
      {"leaf-good", false, "root",
       std::string("the issuer name ") + kInter +
           " of CN=Leaf Good,OU=people,O=Example,C=GB is not the subject " + kRoot},
      {"leaf-good", false, "impostor",
       "the signature of CN=Leaf Good,OU=people,O=Example,C=GB (serial 1000) does not verify "
       "with the key of CN=Chain Intermediate,O=Example,C=GB (serial 1000)"},
      {"by-leaf", false, "leaf-good",
       "CN=Leaf Good,OU=people,O=Example,C=GB (serial 1000) is not a CA certificate"},
      {"by-nocertsign", false, "nocertsign",
       "the key usage of CN=No Cert Signing,O=Example,C=GB does not allow signing certificates"},
      {"inter-crl", true, "inter", ""},
      {"root-arl", true, "root", ""},
      {"inter-crl", true, "root",
       std::string("the revocation list's issuer ") + kInter + " is not the subject " + kRoot},
      {"inter-crl-wrongkey", true, "inter",
       std::string("the revocation list's signature does not verify with the key of ") + kInter},
      {"inter-crl", true, "impostor",
       std::string("the revocation list's signature does not verify with the key of ") + kInter},
      {"nocrlsign-crl", true, "nocrlsign",
       "the key usage of CN=No CRL Signing,O=Example,C=GB does not allow signing CRLs"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.object) + " by " + row.issuer);
    const auto issuer = load<ZEVASNx509Certificate>(row.issuer);
    std::string why =
        (row.list ? ZEVASNIssuerCheck::whyNotIssuedBy(*load<ZEVASNCertificateList>(row.object),
                                                      *issuer)
                  : ZEVASNIssuerCheck::whyNotIssuedBy(*load<ZEVASNx509Certificate>(row.object),
                                                      *issuer))
            .str();
    EXPECT_EQ(why.substr(0, row.why.size()), row.why);
    EXPECT_EQ(why.empty(), row.why.empty()) << why;
  }
}

TEST(IssuerCheck, OnlyASelfSignedCAIsSelfIssued) {
  const struct {
    const char* cert;
    bool self;
  } rows[] = {{"root", true}, {"impostor", true}, {"inter", false}, {"leaf-good", false}};
  for (const auto& row : rows) {
    EXPECT_EQ(ZEVASNIssuerCheck::isSelfIssued(*load<ZEVASNx509Certificate>(row.cert)), row.self)
        << row.cert;
  }
  EXPECT_THROW(ZEVASNIssuerCheck::isSelfIssued(ZEVASNx509Certificate()), ZEVException);
}

}  // namespace
