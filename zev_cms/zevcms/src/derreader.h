// A strict reader of DER (X.690's distinguished rules) over bytes owned elsewhere: definite
// lengths in their shortest form only, single TLVs read one at a time. Internal to the host
// layer; the CRL reader builds on it.
#ifndef ZEV_CMS_DERREADER_H
#define ZEV_CMS_DERREADER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zev09000003 {
namespace der {

// Universal tags this reader names.
enum : unsigned char {
  kBoolean = 0x01,
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kEnumerated = 0x0A,
  kUtcTime = 0x17,
  kGeneralizedTime = 0x18,
  kSequence = 0x30,
  kContext0 = 0xA0,  // [0] constructed (EXPLICIT)
};

// Thrown for bytes that are not the DER expected; what names the field, offset where it lies.
struct Error {
  std::string what;
  std::size_t offset;
};

// One tag-length-value; offsets are into the reader's bytes. A tag in the high-number form
// is reported as its first byte, which never equals one of the single-byte tags above.
struct Tlv {
  unsigned char tag = 0;
  std::size_t start = 0;    // the tag byte
  std::size_t content = 0;  // first content byte
  std::size_t length = 0;   // content length
  std::size_t end() const { return content + length; }
};

class Reader {
 public:
  Reader(const unsigned char* data, std::size_t begin, std::size_t end)
      : data_(data), pos_(begin), end_(end) {}
  bool atEnd() const { return pos_ >= end_; }
  std::size_t pos() const { return pos_; }
  // The tag byte of the next TLV; 0 at the end (tag 0 is never valid DER here).
  unsigned char peekTag() const { return atEnd() ? 0 : data_[pos_]; }

  // Reads the next TLV of any tag, or throws naming what.
  Tlv any(const char* what);
  // Reads the next TLV and throws unless its tag is tag.
  Tlv expect(unsigned char tag, const char* what);

 private:
  const unsigned char* data_;
  std::size_t pos_;
  std::size_t end_;
};

[[noreturn]] void fail(const std::string& what, std::size_t offset);

// Content rules of the universal primitives; each throws naming what.
void checkInteger(const unsigned char* data, const Tlv& t, const char* what);
void checkBoolean(const unsigned char* data, const Tlv& t, const char* what);
void checkBitString(const unsigned char* data, const Tlv& t, const char* what);
void checkOid(const unsigned char* data, const Tlv& t, const char* what);

// A broken-down UTC time from a UTCTime or GeneralizedTime in DER form ("YYMMDDHHMMSSZ" or
// "YYYYMMDDHHMMSSZ", a real calendar date, no fractions). Throws naming what otherwise.
struct Time {
  int year, month, day, hour, minute, second;
  long long epochSeconds() const;
  // "Jan  1 00:00:00 2026 GMT": the form of OpenSSL's ASN1_TIME_print.
  std::string text() const;
};
Time readTime(const unsigned char* data, const Tlv& t, const char* what);

// Validates a complete value of any type, nesting included, without recursion (a stack as deep
// as the nesting, which the input's length bounds). Universal primitives meet their content
// rules; constructed universal strings are refused, as DER has none.
void checkAnyValue(const unsigned char* data, const Tlv& t, const char* what);

}  // namespace der
}  // namespace zev09000003

#endif
