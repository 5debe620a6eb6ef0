// DN text and names: text that parses prints as text that parses back to the same name and
// prints again the same; a DER name prints as text that, when it parses, gives that name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zevcms.h"

using namespace zev09000003;

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool fromText = (data[0] & 1) == 0;
  ++data;
  --size;
  ZEVASNx500Name name;
  try {
    name = fromText ? ZEVASNx500Name::fromRFC4514(
                          ZEVString(reinterpret_cast<const char*>(data), size))
                    : ZEVASNx500Name::fromDER(ZEVASNCBuffer(data, size));
  } catch (const ZEVException& e) {
    check(std::string(e.what()).find("does not") != std::string::npos);
    return 0;
  }
  const std::string printed = name.getRFC2253String().str();
  ZEVASNx500Name again;
  try {
    again = ZEVASNx500Name::fromRFC4514(ZEVString(printed));
  } catch (const ZEVException&) {
    check(!fromText);  // text we parsed must print as text we parse
    return 0;
  }
  check(again == name);
  check(again.getRFC2253String().str() == printed || !fromText);
  check(ZEVASNx500Name::fromDER(name.getDER().get()) == name);
  return 0;
}
