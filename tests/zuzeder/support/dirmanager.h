// Test fixture for the directory managers over the fake "zev9ldap": connection information for
// ldap.example.com with search timeout 7, values stored under one CA entry, the retrievals by
// kind, and the retry and error-level check that both managers share. Header only.
#ifndef TESTS_ZUZEDER_SUPPORT_DIRMANAGER_H
#define TESTS_ZUZEDER_SUPPORT_DIRMANAGER_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fakeclient.h"
#include "support/testpki.h"
#include "zevcms.h"

namespace dirmanager {

using testpki::Bytes;

const char* const kCA = "cn=CA1,o=Example,c=GB";
const char* const kBin = "certificateRevocationList;binary";
inline const testpki::Material& pki() { return testpki::get(); }
inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string nul(const std::string& s) { return s + '\0'; }
// The entry's name as the managers send it.
inline std::string dn() {
  using namespace zev09000003;
  return ZEVASNUtility::getRFC2253String(ZEVASNx500Name::fromRFC4514(kCA), false, 5).c_str();
}

// The DER encodings in a returned container, which is deleted.
template <class C>
std::vector<Bytes> ders(C* raw) {
  std::unique_ptr<C> c(raw);
  std::vector<Bytes> out;
  for (auto* o : *c) {
    const zev09000003::ZEVFastBuffer& d = o->getDEREncoding();
    out.emplace_back(d.getValue(), d.getValue() + d.getLength());
  }
  return out;
}

enum Op { kCACerts, kUserCerts, kCRLs, kARLs, kViaURI, kValidate };

// Shortened session calls (see Test::calls()) and the failing functions of the table below.
const char* const kRetried = "init simple_bind_s search_st unbind init simple_bind_s search_st";
const char* const kOnce = "init simple_bind_s search_st";
const char* const kBindOnly = "init simple_bind_s unbind";
const char* const kBind = "ldap_simple_bind_s";
const char* const kSearch = "ldap_search_st";

// A row of the retry and error-level table: function returns rc `times` times (-1: always)
// while op runs at errorLevel.
struct Failure {
  const char* name;
  Op op;
  const char* function;
  int rc, times, errorLevel;
  const char* calls;    // see Test::calls()
  long thrown;          // code reaching the caller, 0 for none
  size_t lists;         // lists returned otherwise
  const char* retried;  // the retry trace, or null
};
inline void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

template <class Manager>
class Test : public fakeclient::Test {
 protected:
  void SetUp() override {
    fakeclient::Test::SetUp();
    info.setHostName("ldap.example.com");
    info.setSearchTimeout(7);
  }
  void dropClients() override { manager_.reset(); }
  Manager& manager() {
    if (!manager_) manager_.reset(new Manager(info));
    return *manager_;
  }
  void store(const char* attr, const Bytes& value) { lib.addBytes(dn(), attr, value); }
  // Runs op on m (default: the fixture's manager); kViaURI asks for url.
  std::vector<Bytes> fetch(Op op, zev09000003::ZEVDIRManager* m = nullptr) {
    if (m == nullptr) m = &manager();
    const zev09000003::ZEVASNx500Name name = zev09000003::ZEVASNx500Name::fromRFC4514(kCA);
    switch (op) {
      case kCACerts:
        return ders(m->getCACertificates(name));
      case kUserCerts:
        return ders(m->getUserCertificates(name));
      case kCRLs:
        return ders(m->getCRLs(name));
      case kARLs:
        return ders(m->getARLs(name));
      case kViaURI:
        return ders(m->getViaURI(url.c_str()));
      case kValidate:
        EXPECT_TRUE(m->validateConnection());
    }
    return {};
  }
  // The session calls in order, shortened: "init simple_bind_s search_st unbind ...".
  std::string calls() const {
    std::string out;
    for (const std::string& l : lib.log()) {
      for (const char* f : {"init", "simple_bind_s", "unbind", "search_st", "url_search_st"}) {
        if (l.rfind(std::string("ldap_") + f + "(", 0) == 0) out += std::string(" ") + f;
      }
    }
    return out.empty() ? out : out.substr(1);
  }
  // How many trace records have exactly this text.
  int traced(const std::string& text) const {
    int n = 0;
    for (const std::string& t : texts()) n += t == text;
    return n;
  }
  // One row of the retry and error-level table, with a CRL stored.
  void check(const Failure& row) {
    store(kBin, pki().der("crl"));
    info.setErrorLevel(row.errorLevel);
    lib.script(row.function, row.rc, row.times);
    size_t lists = 0;
    EXPECT_EQ(row.thrown, fakeclient::failure([&] { lists = fetch(row.op).size(); }));
    EXPECT_EQ(row.lists, lists);
    EXPECT_EQ(row.calls, calls());
    std::vector<std::string> expected, errors;
    if (row.retried != nullptr) expected.push_back(nul(row.retried));
    for (const std::string& t : texts()) {
      if (t.rfind("Error", 0) == 0) errors.push_back(t);
    }
    EXPECT_EQ(expected, errors);
  }

  zev09000003::ZEVDIRConnectInfo::LDAP info;
  std::string url = "ldap://ldap.example.com:389/" + dn();
  std::unique_ptr<Manager> manager_;
};

}  // namespace dirmanager

#endif
