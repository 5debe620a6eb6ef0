// ZEVString and ZEVConstString: thin byte-string types over std::string.
#include "zevstring.h"

#include <cstring>
#include <istream>
#include <ostream>

#include "zevbuffer.h"

namespace zev09000003 {

namespace {

inline unsigned char lowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// strcmp over bytes of possibly different lengths; zero bytes compare as bytes.
int compareBytes(const char* a, std::size_t na, const char* b, std::size_t nb, bool ignoreCase) {
  std::size_t n = na < nb ? na : nb;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ignoreCase) {
      ca = lowerAscii(ca);
      cb = lowerAscii(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (na == nb) return 0;
  return na < nb ? -1 : 1;
}

}  // namespace

// ---- ZEVConstString ----

ZEVConstString::ZEVConstString() {}
ZEVConstString::ZEVConstString(const char* text) : value_(text != nullptr ? text : "") {}
ZEVConstString::ZEVConstString(const char* data, std::size_t length)
    : value_(data != nullptr ? std::string(data, length) : std::string()) {}
ZEVConstString::ZEVConstString(const std::string& text) : value_(text) {}
ZEVConstString::ZEVConstString(const ZEVString& text) : value_(text.str()) {}

int ZEVConstString::compare(const char* other) const {
  if (other == nullptr) other = "";
  return compareBytes(value_.data(), value_.size(), other, std::strlen(other), false);
}

int ZEVConstString::compare(const ZEVConstString& other) const {
  return compareBytes(value_.data(), value_.size(), other.value_.data(), other.value_.size(),
                      false);
}

void ZEVConstString::display(std::ostream& os) const { os.write(value_.data(), value_.size()); }

// ---- ZEVString ----

const ZEVString::size_type ZEVString::npos;

ZEVString::ZEVString() {}
ZEVString::ZEVString(const char* text) : value_(text != nullptr ? text : "") {}
ZEVString::ZEVString(const char* data, size_type length)
    : value_(data != nullptr ? std::string(data, length) : std::string()) {}
ZEVString::ZEVString(const std::string& text) : value_(text) {}
ZEVString::ZEVString(const ZEVConstString& text) : value_(text.str()) {}
ZEVString::ZEVString(const ZEVString& other, size_type pos, size_type n)
    : value_(other.value_.substr(pos, n)) {}
ZEVString::ZEVString(const ZEVASNCBuffer& bytes)
    : value_(bytes.getValue() != nullptr
                 ? std::string(reinterpret_cast<const char*>(bytes.getValue()), bytes.getLength())
                 : std::string()) {}
ZEVString::ZEVString(const std::ostringstream& stream) : value_(stream.str()) {}
ZEVString::ZEVString(const std::stringstream& stream) : value_(stream.str()) {}

ZEVString& ZEVString::operator+=(const ZEVString& s) {
  value_ += s.value_;
  return *this;
}

ZEVString& ZEVString::operator+=(const char* s) {
  if (s != nullptr) value_ += s;
  return *this;
}

ZEVString& ZEVString::operator+=(char c) {
  value_ += c;
  return *this;
}

ZEVString& ZEVString::insert(size_type pos, const ZEVString& s) {
  value_.insert(pos, s.value_);
  return *this;
}

ZEVString& ZEVString::insert(size_type pos, const char* s) {
  if (s != nullptr) value_.insert(pos, s);
  return *this;
}

ZEVString& ZEVString::append(const ZEVString& s) { return *this += s; }
ZEVString& ZEVString::append(const char* s) { return *this += s; }

ZEVString& ZEVString::append(const char* data, size_type n) {
  if (data != nullptr) value_.append(data, n);
  return *this;
}

void ZEVString::push_back(char c) { value_.push_back(c); }

ZEVString ZEVString::substr(size_type pos, size_type n) const {
  return ZEVString(value_.substr(pos, n));
}

ZEVString::size_type ZEVString::find(char c, size_type pos) const { return value_.find(c, pos); }

ZEVString::size_type ZEVString::find(const char* s, size_type pos) const {
  if (s == nullptr) return npos;
  return value_.find(s, pos);
}

ZEVString::size_type ZEVString::find(const ZEVString& s, size_type pos) const {
  return value_.find(s.value_, pos);
}

ZEVString::size_type ZEVString::find_ignorecase(const char* s, size_type pos) const {
  if (s == nullptr) return npos;
  std::size_t n = std::strlen(s);
  if (pos > value_.size() || n > value_.size() - pos) return npos;
  for (std::size_t i = pos; i + n <= value_.size(); ++i) {
    if (compareBytes(value_.data() + i, n, s, n, true) == 0) return i;
  }
  return npos;
}

ZEVString::size_type ZEVString::find_first_not_of(const char* set, size_type pos) const {
  return value_.find_first_not_of(set != nullptr ? set : "", pos);
}

ZEVString::size_type ZEVString::find_last_not_of(const char* set, size_type pos) const {
  return value_.find_last_not_of(set != nullptr ? set : "", pos);
}

std::istream& ZEVString::getline(std::istream& is, char delimiter) {
  return std::getline(is, value_, delimiter);
}

int ZEVString::compare(const char* s) const {
  if (s == nullptr) s = "";
  return compareBytes(value_.data(), value_.size(), s, std::strlen(s), false);
}

int ZEVString::compare(const ZEVString& s) const {
  return compareBytes(value_.data(), value_.size(), s.value_.data(), s.value_.size(), false);
}

int ZEVString::compare_ignorecase(const char* s) const {
  if (s == nullptr) s = "";
  return compareBytes(value_.data(), value_.size(), s, std::strlen(s), true);
}

int ZEVString::compare_ignorecase(const ZEVString& s) const {
  return compareBytes(value_.data(), value_.size(), s.value_.data(), s.value_.size(), true);
}

void ZEVString::display(std::ostream& os) const { os.write(value_.data(), value_.size()); }

std::ostream& operator<<(std::ostream& os, const ZEVString& s) {
  s.display(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const ZEVConstString& s) {
  s.display(os);
  return os;
}

ZEVString operator+(const ZEVString& a, const ZEVString& b) {
  ZEVString r(a);
  r += b;
  return r;
}

}  // namespace zev09000003
