// Text types of the host toolkit: ZEVString (mutable, over std::string) and ZEVConstString
// (an immutable copy). Both hold arbitrary bytes, zero bytes included; c_str() is always
// zero-terminated.
#ifndef ZEV_CMS_ZEVSTRING_H
#define ZEV_CMS_ZEVSTRING_H

#include <cstddef>
#include <iosfwd>
#include <sstream>
#include <string>

#include "zevexport.h"

namespace zev09000003 {

class ZEVASNCBuffer;
class ZEVString;

// An immutable text value. Cheap to copy; converts from and to ZEVString.
class ZEVCMS_EXPORT ZEVConstString {
 public:
  ZEVConstString();
  ZEVConstString(const char* text);  // null gives the empty string
  ZEVConstString(const char* data, std::size_t length);
  ZEVConstString(const std::string& text);
  ZEVConstString(const ZEVString& text);

  std::size_t length() const { return value_.size(); }
  const char* c_str() const { return value_.c_str(); }
  // 0 when equal; <0 / >0 as strcmp over the bytes.
  int compare(const char* other) const;
  int compare(const ZEVConstString& other) const;
  void display(std::ostream& os) const;
  const std::string& str() const { return value_; }

 private:
  std::string value_;
};

// A mutable byte string with the operations the toolkit's text handling needs.
class ZEVCMS_EXPORT ZEVString {
 public:
  typedef std::size_t size_type;
  static const size_type npos = static_cast<size_type>(-1);

  ZEVString();
  ZEVString(const char* text);  // null gives the empty string
  ZEVString(const char* data, size_type length);
  ZEVString(const std::string& text);
  ZEVString(const ZEVConstString& text);
  ZEVString(const ZEVString& other, size_type pos, size_type n = npos);  // substring
  explicit ZEVString(const ZEVASNCBuffer& bytes);
  explicit ZEVString(const std::ostringstream& stream);
  explicit ZEVString(const std::stringstream& stream);

  const char* c_str() const { return value_.c_str(); }
  const char* data() const { return value_.data(); }
  size_type length() const { return value_.size(); }
  size_type size() const { return value_.size(); }
  bool empty() const { return value_.empty(); }
  char& operator[](size_type i) { return value_[i]; }
  const char& operator[](size_type i) const { return value_[i]; }

  ZEVString& operator+=(const ZEVString& s);
  ZEVString& operator+=(const char* s);
  ZEVString& operator+=(char c);
  ZEVString& insert(size_type pos, const ZEVString& s);
  ZEVString& insert(size_type pos, const char* s);
  ZEVString& append(const ZEVString& s);
  ZEVString& append(const char* s);
  ZEVString& append(const char* data, size_type n);
  void push_back(char c);
  ZEVString substr(size_type pos, size_type n = npos) const;

  size_type find(char c, size_type pos = 0) const;
  size_type find(const char* s, size_type pos = 0) const;
  size_type find(const ZEVString& s, size_type pos = 0) const;
  // As find, with ASCII letters compared without regard to case.
  size_type find_ignorecase(const char* s, size_type pos = 0) const;
  size_type find_first_not_of(const char* set, size_type pos = 0) const;
  size_type find_last_not_of(const char* set, size_type pos = npos) const;

  // Reads one line up to the delimiter (not stored). Sets the stream's end-of-file state
  // when the end of input was reached, as std::getline does.
  std::istream& getline(std::istream& is, char delimiter = '\n');

  // 0 when equal; <0 / >0 as strcmp over the bytes.
  int compare(const char* s) const;
  int compare(const ZEVString& s) const;
  // 0 when equal with ASCII letters compared without regard to case.
  int compare_ignorecase(const char* s) const;
  int compare_ignorecase(const ZEVString& s) const;

  void display(std::ostream& os) const;
  const std::string& str() const { return value_; }
  std::string& str() { return value_; }

  bool operator==(const ZEVString& o) const { return value_ == o.value_; }
  bool operator!=(const ZEVString& o) const { return value_ != o.value_; }
  bool operator==(const char* o) const { return compare(o) == 0; }
  bool operator!=(const char* o) const { return compare(o) != 0; }
  bool operator<(const ZEVString& o) const { return value_ < o.value_; }

 private:
  std::string value_;
};

ZEVCMS_EXPORT std::ostream& operator<<(std::ostream& os, const ZEVString& s);
ZEVCMS_EXPORT std::ostream& operator<<(std::ostream& os, const ZEVConstString& s);
ZEVCMS_EXPORT ZEVString operator+(const ZEVString& a, const ZEVString& b);

}  // namespace zev09000003

#endif
