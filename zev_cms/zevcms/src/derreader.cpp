// The strict DER reader: tags, definite minimal lengths, and the content rules of the
// primitives that certificates and revocation lists carry.
#include "derreader.h"

#include <cstdio>
#include <vector>

#include "zevasn.h"

namespace zev09000003 {
namespace der {

void fail(const std::string& what, std::size_t offset) { throw Error{what, offset}; }

Tlv Reader::any(const char* what) {
  Tlv t;
  t.start = pos_;
  std::size_t p = pos_;
  if (p >= end_) fail(std::string(what) + ": missing", p);
  t.tag = data_[p++];
  if (t.tag == 0) fail(std::string(what) + ": tag 0 (end-of-contents) is not DER", t.start);
  if ((t.tag & 0x1F) == 0x1F) {
    // High tag number: base-128 digits, the first not 0x80 (shortest form), the number >= 31.
    std::size_t digits = 0;
    unsigned long long number = 0;
    for (;;) {
      if (p >= end_) fail(std::string(what) + ": tag cut short", t.start);
      unsigned char b = data_[p++];
      if (digits == 0 && b == 0x80) fail(std::string(what) + ": tag not in shortest form", t.start);
      if (++digits > 4) fail(std::string(what) + ": tag number too large", t.start);
      number = number << 7 | (b & 0x7F);
      if ((b & 0x80) == 0) break;
    }
    if (number < 31) fail(std::string(what) + ": tag not in shortest form", t.start);
  }
  if (p >= end_) fail(std::string(what) + ": length missing", t.start);
  unsigned char first = data_[p++];
  std::size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else if (first == 0x80) {
    fail(std::string(what) + ": indefinite length is not DER", t.start);
  } else {
    std::size_t n = first & 0x7F;
    if (n > 4) fail(std::string(what) + ": length of more than 4 bytes", t.start);
    if (end_ - p < n) fail(std::string(what) + ": length cut short", t.start);
    if (data_[p] == 0) fail(std::string(what) + ": length not in shortest form", t.start);
    for (std::size_t i = 0; i < n; ++i) length = length << 8 | data_[p++];
    if (length < 0x80) fail(std::string(what) + ": length not in shortest form", t.start);
  }
  if (end_ - p < length) {
    fail(std::string(what) + ": length " + std::to_string(length) + " runs past the end (" +
             std::to_string(end_ - p) + " bytes left)",
         t.start);
  }
  t.content = p;
  t.length = length;
  pos_ = p + length;
  return t;
}

Tlv Reader::expect(unsigned char tag, const char* what) {
  if (atEnd()) fail(std::string(what) + ": missing", pos_);
  if (data_[pos_] != tag) {
    static const char* hex = "0123456789abcdef";
    std::string seen{'0', 'x', hex[data_[pos_] >> 4], hex[data_[pos_] & 15]};
    std::string want{'0', 'x', hex[tag >> 4], hex[tag & 15]};
    fail(std::string(what) + ": tag " + seen + " where " + want + " belongs", pos_);
  }
  return any(what);
}

void checkInteger(const unsigned char* d, const Tlv& t, const char* what) {
  if (t.length == 0) fail(std::string(what) + ": empty INTEGER", t.start);
  if (t.length > 1) {
    unsigned char a = d[t.content], b = d[t.content + 1];
    if ((a == 0x00 && (b & 0x80) == 0) || (a == 0xFF && (b & 0x80) != 0)) {
      fail(std::string(what) + ": INTEGER not in shortest form", t.start);
    }
  }
}

void checkBoolean(const unsigned char* d, const Tlv& t, const char* what) {
  // DER writes TRUE as 0xff only; OpenSSL takes any non-zero byte as TRUE, and so does this
  // reader, so as not to refuse what OpenSSL reads.
  if (t.length != 1) fail(std::string(what) + ": BOOLEAN not one byte long", t.start);
}

void checkBitString(const unsigned char* d, const Tlv& t, const char* what) {
  if (t.length == 0) fail(std::string(what) + ": empty BIT STRING", t.start);
  unsigned unused = d[t.content];
  if (unused > 7) fail(std::string(what) + ": BIT STRING with more than 7 unused bits", t.start);
  if (t.length == 1 && unused != 0) {
    fail(std::string(what) + ": empty BIT STRING with unused bits", t.start);
  }
  if (unused != 0 && (d[t.end() - 1] & ((1u << unused) - 1)) != 0) {
    fail(std::string(what) + ": BIT STRING unused bits not zero", t.start);
  }
}

void checkOid(const unsigned char* d, const Tlv& t, const char* what) {
  if (t.length == 0) fail(std::string(what) + ": empty OBJECT IDENTIFIER", t.start);
  bool atStart = true;
  for (std::size_t i = t.content; i < t.end(); ++i) {
    if (atStart && d[i] == 0x80) {
      fail(std::string(what) + ": OBJECT IDENTIFIER component not in shortest form", t.start);
    }
    atStart = (d[i] & 0x80) == 0;
  }
  if (!atStart) fail(std::string(what) + ": OBJECT IDENTIFIER cut short", t.start);
}

namespace {

bool digits(const unsigned char* p, std::size_t n, int& value) {
  value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + (p[i] - '0');
  }
  return true;
}

}  // namespace

Time readTime(const unsigned char* d, const Tlv& t, const char* what) {
  std::size_t yearDigits;
  if (t.tag == kUtcTime) {
    yearDigits = 2;
  } else if (t.tag == kGeneralizedTime) {
    yearDigits = 4;
  } else {
    fail(std::string(what) + ": neither UTCTime nor GeneralizedTime", t.start);
  }
  const unsigned char* p = d + t.content;
  Time time;
  if (t.length != yearDigits + 11 || p[t.length - 1] != 'Z' ||
      !digits(p, yearDigits, time.year) || !digits(p + yearDigits, 2, time.month) ||
      !digits(p + yearDigits + 2, 2, time.day) || !digits(p + yearDigits + 4, 2, time.hour) ||
      !digits(p + yearDigits + 6, 2, time.minute) ||
      !digits(p + yearDigits + 8, 2, time.second)) {
    fail(std::string(what) + ": time not of the form " +
             (yearDigits == 2 ? "YYMMDDHHMMSSZ" : "YYYYMMDDHHMMSSZ"),
         t.start);
  }
  if (yearDigits == 2) time.year += time.year < 50 ? 2000 : 1900;
  bool dateOk = time.month >= 1 && time.month <= 12 && time.day >= 1 &&
                static_cast<unsigned>(time.day) <=
                    ZEVASNUtility::daysInMonth(time.year, static_cast<unsigned>(time.month));
  if (!dateOk || time.hour > 23 || time.minute > 59 || time.second > 59) {
    fail(std::string(what) + ": not a date and time of the calendar", t.start);
  }
  return time;
}

std::string Time::text() const {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char out[48];
  std::snprintf(out, sizeof out, "%s %2d %02d:%02d:%02d %d GMT", months[month - 1], day, hour,
                minute, second, year);
  return out;
}

long long Time::epochSeconds() const {
  return ZEVASNUtility::daysFromCivil(year, static_cast<unsigned>(month),
                                      static_cast<unsigned>(day)) *
             86400 +
         hour * 3600LL + minute * 60LL + second;
}

namespace {

// Content rules of a universal primitive inside a value of any type.
void checkPrimitive(const unsigned char* d, const Tlv& t, const char* what) {
  switch (t.tag) {
    case kBoolean:
      checkBoolean(d, t, what);
      break;
    case kInteger:
    case kEnumerated:
      checkInteger(d, t, what);
      break;
    case kBitString:
      checkBitString(d, t, what);
      break;
    case kNull:
      if (t.length != 0) fail(std::string(what) + ": NULL with content", t.start);
      break;
    case kOid:
      checkOid(d, t, what);
      break;
    case 0x1E:  // BMPString: two bytes a character
      if (t.length % 2 != 0) fail(std::string(what) + ": BMPString of odd length", t.start);
      break;
    case 0x1C:  // UniversalString: four bytes a character
      if (t.length % 4 != 0) {
        fail(std::string(what) + ": UniversalString length not a multiple of 4", t.start);
      }
      break;
    default:
      break;
  }
}

}  // namespace

void checkAnyValue(const unsigned char* d, const Tlv& top, const char* what) {
  // Ends of the constructed values being walked, innermost last.
  std::vector<std::size_t> ends;
  Tlv t = top;
  for (;;) {
    const bool constructed = (t.tag & 0x20) != 0;
    const bool universal = (t.tag & 0xC0) == 0;
    if (universal && constructed && t.tag != kSequence && t.tag != 0x31) {
      fail(std::string(what) + ": constructed form of a universal primitive is not DER", t.start);
    }
    if (universal && !constructed && ((t.tag & 0x1F) == 0x10 || (t.tag & 0x1F) == 0x11)) {
      fail(std::string(what) + ": SEQUENCE or SET in primitive form", t.start);
    }
    if (universal && !constructed) checkPrimitive(d, t, what);
    std::size_t next = t.end();
    if (constructed && t.length > 0) {
      ends.push_back(t.end());
      next = t.content;
    }
    // Leave every constructed value that the next position closes.
    while (!ends.empty() && next == ends.back()) ends.pop_back();
    if (ends.empty()) return;
    Reader r(d, next, ends.back());
    t = r.any(what);
  }
}

}  // namespace der
}  // namespace zev09000003
