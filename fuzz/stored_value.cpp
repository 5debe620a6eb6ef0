// Stored values: the bytes of one attribute value, decoded as the plug-in does (text: "{ASN}"
// hex, else PEM, else bare Base64; otherwise DER) into a certificate and a CRL. Each decoder
// also runs on the bytes by itself, through its owned-buffer and its view overload, which
// must agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ldapclient.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

// The bytes and the error text of one decoding, for comparing the two overloads.
struct Outcome {
  std::string bytes, error;
  int rc = 0;
  bool operator==(const Outcome& o) const {
    return bytes == o.bytes && error == o.error && rc == o.rc;
  }
};

template <class F>
Outcome run(F f) {
  Outcome o;
  try {
    ZEVFastBuffer out = f(&o.rc);
    o.bytes.assign(reinterpret_cast<const char*>(out.getValue()), out.getLength());
  } catch (const ZEVException& e) {
    o.error = e.what();
    if (o.error.empty()) std::abort();  // every failure must say what failed
  }
  return o;
}

void check(bool ok) {
  if (!ok) std::abort();
}

// Decodes der into a certificate and a CRL; a failure must leave the object empty.
void intoObjects(const ZEVASNCBuffer& der) {
  ZEVASNx509Certificate cert;
  ZEVASNCertificateList crl;
  for (ZEVASNObject* object : {static_cast<ZEVASNObject*>(&cert),
                               static_cast<ZEVASNObject*>(&crl)}) {
    try {
      ZEVASNUtility::setDEREncoding(der, *object);
      check(!object->isEmpty());
    } catch (const ZEVException&) {
      check(object->isEmpty());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ZEVASNCBuffer view(data, size);
  const ZEVFastBuffer owned(view);

  // The plug-in's road for one value.
  if (size != 0 && isText(data, static_cast<int>(size < INT32_MAX ? size : 0))) {
    try {
      ZEVFastBuffer der;
      if (size >= 5 && strncasecmp(reinterpret_cast<const char*>(data), "{ASN}", 5) == 0) {
        der = ZEVUtility::hexStringToBinary(ZEVASNCBuffer(data + 5, size - 5));
      } else {
        ZEVString type;
        if (ZEVUtility::Base64DearmorPemToBuf(der, type, view, nullptr) != 0) {
          der = ZEVKRYUtility::decodeData_BASE64(view, nullptr);
        }
      }
      intoObjects(der.get());
    } catch (const ZEVException&) {
    }
  } else {
    intoObjects(view);
  }

  // Each decoder alone, both overloads.
  check(run([&](int*) { return ZEVUtility::hexStringToBinary(view); }) ==
        run([&](int*) { return ZEVUtility::hexStringToBinary(ZEVString(
                                   reinterpret_cast<const char*>(data), size)); }));
  check(run([&](int*) { return ZEVKRYUtility::decodeData_BASE64(view, nullptr); }) ==
        run([&](int*) { return ZEVKRYUtility::decodeData_BASE64(owned, nullptr); }));
  ZEVString type1, type2;
  const Outcome pem1 = run([&](int* rc) {
    ZEVFastBuffer out;
    *rc = ZEVUtility::Base64DearmorPemToBuf(out, type1, view, nullptr);
    return out;
  });
  const Outcome pem2 = run([&](int* rc) {
    ZEVFastBuffer out;
    *rc = ZEVUtility::Base64DearmorPemToBuf(out, type2, owned, nullptr);
    return out;
  });
  check(pem1 == pem2 && type1.str() == type2.str());
  check(pem1.error.empty() && (pem1.rc == 0) == !pem1.bytes.empty());
  return 0;
}
