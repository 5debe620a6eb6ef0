// Encoding helpers: hex dump, hex and Base64 decoding, PEM de-armouring, and the filling of
// an LDAP URL's empty host from the dc= components of its DN.
#include "zevutility.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "zevexception.h"

namespace zev09000003 {
namespace {

bool isSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A character for a message: itself when printable, else \xNN.
std::string showChar(unsigned char c) {
  char buf[8];
  if (c >= 0x20 && c < 0x7f) {
    std::snprintf(buf, sizeof buf, "'%c'", c);
  } else {
    std::snprintf(buf, sizeof buf, "'\\x%02X'", c);
  }
  return buf;
}

void throwEncoding(int line, const std::string& message) {
  throw ZEVException(__FILE__, line, ZEV_ERR_ENCODING, ZEVString(message));
}

// Strict Base64 (see decodeData_BASE64) in one pass over the text. Complete groups of four
// symbols are decoded as they are met, straight into the output, which is sized once from
// the input; nothing per symbol is kept. The checks keep their order of precedence: a
// character that is not Base64 (the first one), then the symbol count, then a '=' before
// the final padding (the first one), so a bad text gives the same message whatever its size.
ZEVFastBuffer decodeBase64(const unsigned char* text, std::size_t length) {
  ZEVFastBuffer out(length / 4 * 3, nullptr);
  unsigned char* dst = out.getValue();
  std::size_t written = 0;
  std::size_t symbols = 0;            // symbols met (white space excluded)
  std::size_t firstPad = SIZE_MAX;    // symbol index of the first '='
  std::size_t firstPadAt = 0;         // and its position in the text
  unsigned char group[4];             // symbols of the group in progress
  unsigned char last[2] = {0, 0};     // the last two symbols
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = text[i];
    if (isSpace(c)) continue;
    if (c == '=') {
      if (firstPad == SIZE_MAX) {
        firstPad = symbols;
        firstPadAt = i;
      }
    } else if (base64Value(c) < 0) {
      throwEncoding(__LINE__, "Base64 text has a character that is not Base64: " + showChar(c) +
                                  " at position " + std::to_string(i));
    }
    last[0] = last[1];
    last[1] = c;
    group[symbols % 4] = c;
    ++symbols;
    // A group without padding before any '=' decodes now; from the first '=' on the text is
    // either in its final group or wrong, which the checks after the loop tell apart.
    if (symbols % 4 == 0 && firstPad == SIZE_MAX) {
      unsigned long v = (static_cast<unsigned long>(base64Value(group[0])) << 18) |
                        (static_cast<unsigned long>(base64Value(group[1])) << 12) |
                        (static_cast<unsigned long>(base64Value(group[2])) << 6) |
                        static_cast<unsigned long>(base64Value(group[3]));
      dst[written++] = static_cast<unsigned char>(v >> 16);
      dst[written++] = static_cast<unsigned char>((v >> 8) & 0xff);
      dst[written++] = static_cast<unsigned char>(v & 0xff);
    }
  }
  if (symbols % 4 != 0) {
    throwEncoding(__LINE__, "Base64 text has " + std::to_string(symbols) +
                                " characters, not a multiple of 4");
  }
  std::size_t padding = 0;
  if (symbols != 0 && last[1] == '=') padding = last[0] == '=' ? 2 : 1;
  if (firstPad != SIZE_MAX && firstPad + padding < symbols) {
    throwEncoding(__LINE__, "Base64 text has padding '=' before its end, at position " +
                                std::to_string(firstPadAt));
  }
  if (padding != 0) {
    // The final group, held back because it carries the padding.
    unsigned long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int d = k < 4 - padding ? base64Value(group[k]) : 0;
      v = (v << 6) | static_cast<unsigned long>(d);
    }
    dst[written++] = static_cast<unsigned char>(v >> 16);
    if (padding == 1) dst[written++] = static_cast<unsigned char>((v >> 8) & 0xff);
  }
  out.truncate(written);
  return out;
}

// Hex digits to bytes (see hexStringToBinary); the output is sized once from the input.
ZEVFastBuffer decodeHex(const unsigned char* text, std::size_t length) {
  ZEVFastBuffer out(length / 2, nullptr);
  unsigned char* dst = out.getValue();
  std::size_t written = 0;
  int high = -1;
  std::size_t digits = 0;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = text[i];
    if (isSpace(c)) continue;
    int v = hexValue(c);
    if (v < 0) {
      throwEncoding(__LINE__, "hex text has a character that is not a hex digit: " + showChar(c) +
                                  " at position " + std::to_string(i));
    }
    ++digits;
    if (high < 0) {
      high = v;
    } else {
      dst[written++] = static_cast<unsigned char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) {
    throwEncoding(__LINE__,
                  "hex text has an odd number of digits (" + std::to_string(digits) + ")");
  }
  out.truncate(written);
  return out;
}

// Finds the first occurrence of "-----" at or after from, in one forward walk: a caller that
// asks with growing from reuses the last answer while it still lies ahead, so all its
// questions together cost one pass over the text.
class DashFinder {
 public:
  DashFinder(const char* text, std::size_t length) : text_(text), length_(length) {}
  std::size_t next(std::size_t from) {
    if (found_ != kNone && found_ >= from) return found_;
    if (searched_ > from) from = searched_;  // nothing before searched_ is "-----"
    found_ = kNone;
    while (from + 5 <= length_) {
      const void* hit = std::memchr(text_ + from, '-', length_ - from);
      if (hit == nullptr) break;
      std::size_t at = static_cast<const char*>(hit) - text_;
      std::size_t run = 0;
      while (at + run < length_ && run < 5 && text_[at + run] == '-') ++run;
      if (run == 5) {
        found_ = at;
        break;
      }
      from = at + run;  // the run was too short; nothing in it can start a "-----"
    }
    searched_ = found_ != kNone ? found_ : length_;
    return found_;
  }
  static const std::size_t kNone = SIZE_MAX;

 private:
  const char* text_;
  std::size_t length_;
  std::size_t found_ = kNone;
  std::size_t searched_ = 0;
};

// Remembers, for each distinct label (a stretch of the text), the body start of its first
// BEGIN line. Design choice: a flat open-addressing table rather than a node-based map, so a
// text of millions of distinct labels costs one probe and at most two 3-word slots per label
// (Index is 32 bits for texts under 4 GiB), not an allocation each. The hash is seeded per
// table, so a text cannot be built to make its labels collide; equal hashes are confirmed by
// comparing the label bytes, so a collision can cost time but never give a wrong match.
template <class Index>
class LabelTable {
 public:
  LabelTable(const char* text, std::uint64_t seed) : text_(text), seed_(seed | 1) {}

  // Adds label [start, start + length) with body; a label already present keeps its first body.
  void add(std::size_t start, std::size_t length, std::size_t body) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Index h = hash(start, length);
    for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.body == 0) {
        slot = Slot{h, static_cast<Index>(start), static_cast<Index>(body)};
        ++count_;
        return;
      }
      if (slot.hash == h && sameLabel(slot, start, length)) return;
    }
  }

  // The body start of the first BEGIN line of label [start, start + length), or kNone.
  std::size_t find(std::size_t start, std::size_t length) const {
    if (count_ == 0) return kNone;
    Index h = hash(start, length);
    for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[i];
      if (slot.body == 0) return kNone;
      if (slot.hash == h && sameLabel(slot, start, length)) return slot.body;
    }
  }

  static const std::size_t kNone = SIZE_MAX;

 private:
  // A body never starts at 0 (a BEGIN line comes first), so body 0 marks a free slot.
  struct Slot {
    Index hash;
    Index start;  // of the label in the text
    Index body;   // the label's length is body - 5 - start ("-----" follows the label)
  };

  bool sameLabel(const Slot& slot, std::size_t start, std::size_t length) const {
    return static_cast<std::size_t>(slot.body) - 5 - slot.start == length &&
           std::memcmp(text_ + slot.start, text_ + start, length) == 0;
  }

  Index hash(std::size_t start, std::size_t length) const {
    std::uint64_t h = seed_ ^ (length * 0x9E3779B97F4A7C15ull);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text_ + start);
    for (std::size_t i = 0; i < length; ++i) {
      h = (h ^ p[i]) * 0x100000001B3ull;  // FNV-1a step over the seeded start
    }
    // Final mix, so the low bits that pick a slot depend on every byte.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<Index>(h);
  }

  void grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2, Slot{0, 0, 0});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.body == 0) continue;
      std::size_t i = slot.hash & (slots_.size() - 1);
      while (slots_[i].body != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  const char* text_;
  std::uint64_t seed_;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// A seed that differs between calls and processes, for LabelTable.
std::uint64_t tableSeed(const void* text) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t t = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return t ^ (reinterpret_cast<std::uintptr_t>(text) << 16) ^
         (++counter * 0xD6E8FEB86659FD93ull);
}

// The PEM block that Base64DearmorPemToBuf decodes: the first "-----BEGIN <label>-----" line
// (label on one line) after which the text holds "-----END <label>-----". Found in one walk
// over the text rather than one search per BEGIN line, which made a text of many unmatched
// BEGIN lines cost time quadratic in its length.
//
// The walk meets BEGIN and END markers in text order. Each BEGIN line's label is remembered
// with the start of its body (the first BEGIN of a label only; a later one of the same label
// cannot come first). An END marker at p ends the body of a remembered label when that body
// starts at or before p. The block is the matched BEGIN with the earliest body; its end is the
// first END of its label after that body, which is where the walk first matched it.
// Returns false when no BEGIN line has a matching END.
struct PemBlock {
  std::size_t labelStart = 0, labelLength = 0, bodyStart = 0, bodyEnd = 0;
};

template <class Index>
bool findPemBlockIn(const char* text, std::size_t length, PemBlock* block) {
  static const char kBegin[] = "-----BEGIN ";
  static const char kEnd[] = "-----END ";
  const std::size_t kBeginLength = sizeof kBegin - 1, kEndLength = sizeof kEnd - 1;
  LabelTable<Index> bodyOf(text, tableSeed(text));  // label -> body of its first BEGIN
  DashFinder labelEnds(text, length), endLabelEnds(text, length);
  std::size_t newline = 0;  // next '\n' at or after the current label (length: none)
  bool newlineKnown = false;
  std::size_t best = SIZE_MAX;
  PemBlock found;
  DashFinder markers(text, length);
  for (std::size_t pos = markers.next(0); pos != DashFinder::kNone;
       pos = markers.next(pos + 1)) {
    if (length - pos >= kBeginLength && std::memcmp(text + pos, kBegin, kBeginLength) == 0) {
      std::size_t labelStart = pos + kBeginLength;
      std::size_t labelEnd = labelEnds.next(labelStart);
      if (labelEnd == DashFinder::kNone) continue;
      if (!newlineKnown || newline < labelStart) {
        const void* nl = std::memchr(text + labelStart, '\n', length - labelStart);
        newline = nl != nullptr ? static_cast<const char*>(nl) - text : length;
        newlineKnown = true;
      }
      if (labelEnd > newline) continue;  // the label runs past its line: not a BEGIN line
      std::size_t bodyStart = labelEnd + 5;
      if (bodyStart >= best) continue;  // a block with an earlier body is already matched
      bodyOf.add(labelStart, labelEnd - labelStart, bodyStart);
    } else if (length - pos >= kEndLength && std::memcmp(text + pos, kEnd, kEndLength) == 0) {
      // "-----END <label>-----": a BEGIN label holds no "-----" and never ends in '-' (its
      // end is the first "-----" after it), so the label here ends at the first "-----".
      std::size_t labelStart = pos + kEndLength;
      std::size_t labelEnd = endLabelEnds.next(labelStart);
      if (labelEnd == DashFinder::kNone) continue;
      std::size_t body = bodyOf.find(labelStart, labelEnd - labelStart);
      // Skipped: unknown labels, bodies that start after this marker, and labels matched
      // before (their first END came first) or beaten by an earlier body.
      if (body == LabelTable<Index>::kNone || body > pos || body >= best) continue;
      best = body;
      found.labelStart = labelStart;
      found.labelLength = labelEnd - labelStart;
      found.bodyStart = body;
      found.bodyEnd = pos;
    }
  }
  if (best == SIZE_MAX) return false;
  *block = found;
  return true;
}

std::string lowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trimSpaces(const std::string& s) {
  std::string::size_type b = s.find_first_not_of(" ");
  if (b == std::string::npos) return std::string();
  std::string::size_type e = s.find_last_not_of(" ");
  return s.substr(b, e - b + 1);
}

// Removes DN escapes from a value: "\," and the like, and "\XX" hex pairs.
std::string unescapeDNValue(const std::string& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      int h = hexValue(static_cast<unsigned char>(v[i + 1]));
      int l = i + 2 < v.size() ? hexValue(static_cast<unsigned char>(v[i + 2])) : -1;
      if (h >= 0 && l >= 0) {
        out += static_cast<char>(h * 16 + l);
        i += 2;
      } else {
        out += v[i + 1];
        ++i;
      }
    } else {
      out += v[i];
    }
  }
  return out;
}

bool findPemBlock(const char* text, std::size_t length, PemBlock* block) {
  if (length < UINT32_MAX) return findPemBlockIn<std::uint32_t>(text, length, block);
  return findPemBlockIn<std::uint64_t>(text, length, block);
}

}  // namespace

// ---- ZEVUtility ----

void ZEVUtility::hexdump(std::ostream& os, const ZEVASNCBuffer& bytes, const char* label) {
  os << (label != nullptr ? label : "") << '\n';
  const unsigned char* p = bytes.getValue();
  std::size_t n = p != nullptr ? bytes.getLength() : 0;
  for (std::size_t offset = 0; offset < n; offset += 16) {
    std::size_t count = n - offset < 16 ? n - offset : 16;
    char head[32];
    std::snprintf(head, sizeof head, "%08lx  ", static_cast<unsigned long>(offset));
    std::string line = head;
    for (std::size_t i = 0; i < 16; ++i) {
      if (i < count) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", p[offset + i]);
        if (i > 0) line += ' ';
        line += hex;
      } else {
        line += "   ";  // keeps the character column aligned on the last line
      }
    }
    line += "  ";
    for (std::size_t i = 0; i < count; ++i) {
      unsigned char c = p[offset + i];
      line += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    os << line << '\n';
  }
}

void ZEVUtility::hexdump(std::ostream& os, const ZEVFastBuffer& bytes, const char* label) {
  hexdump(os, bytes.get(), label);
}

ZEVFastBuffer ZEVUtility::hexStringToBinary(const ZEVString& hex) {
  return decodeHex(reinterpret_cast<const unsigned char*>(hex.c_str()), hex.length());
}

ZEVFastBuffer ZEVUtility::hexStringToBinary(const ZEVASNCBuffer& hex) {
  return decodeHex(hex.getValue(), hex.getValue() != nullptr ? hex.getLength() : 0);
}

// Returns 0 on success, 1 when no BEGIN line with a matching END line is found, 2 when the
// block has headers (such as "Proc-Type:", not supported) or a body that is not Base64.
int ZEVUtility::Base64DearmorPemToBuf(ZEVFastBuffer& out, ZEVString& type, const ZEVASNCBuffer& in,
                                      void* /*reserved*/) {
  const char* text = reinterpret_cast<const char*>(in.getValue());
  std::size_t length = text != nullptr ? in.getLength() : 0;
  PemBlock block;
  if (!findPemBlock(text, length, &block)) return 1;
  const char* body = text + block.bodyStart;
  std::size_t bodyLength = block.bodyEnd - block.bodyStart;
  if (std::memchr(body, ':', bodyLength) != nullptr) return 2;
  try {
    ZEVFastBuffer decoded = decodeBase64(reinterpret_cast<const unsigned char*>(body), bodyLength);
    if (decoded.getLength() == 0) return 2;
    // The label is copied before out changes: in may be a view of out.
    ZEVString label(text + block.labelStart, block.labelLength);
    out = std::move(decoded);
    type = std::move(label);
    return 0;
  } catch (const ZEVException&) {
    return 2;
  }
}

int ZEVUtility::Base64DearmorPemToBuf(ZEVFastBuffer& out, ZEVString& type, const ZEVFastBuffer& in,
                                      void* reserved) {
  return Base64DearmorPemToBuf(out, type, in.get(), reserved);
}

ZEVString ZEVUtility::convertDCtoHost(const ZEVString& url) {
  const std::string& u = url.str();
  std::string::size_type schemeLength = 0;
  std::string lower = lowerAscii(u.substr(0, 8));
  if (lower.compare(0, 7, "ldap://") == 0) {
    schemeLength = 7;
  } else if (lower.compare(0, 8, "ldaps://") == 0) {
    schemeLength = 8;
  } else {
    throwEncoding(__LINE__, "not an LDAP URL: \"" + u + "\"");
  }
  std::string::size_type hostEnd = u.find_first_of("/?", schemeLength);
  if (hostEnd == std::string::npos) hostEnd = u.size();
  if (hostEnd > schemeLength) return url;  // the URL names its host

  std::string dn;
  if (hostEnd < u.size() && u[hostEnd] == '/') {
    std::string::size_type dnEnd = u.find('?', hostEnd + 1);
    if (dnEnd == std::string::npos) dnEnd = u.size();
    dn = u.substr(hostEnd + 1, dnEnd - hostEnd - 1);
  }
  std::string decoded;
  for (std::size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] != '%') {
      decoded += dn[i];
      continue;
    }
    int h = i + 1 < dn.size() ? hexValue(static_cast<unsigned char>(dn[i + 1])) : -1;
    int l = i + 2 < dn.size() ? hexValue(static_cast<unsigned char>(dn[i + 2])) : -1;
    if (h < 0 || l < 0) {
      throwEncoding(__LINE__, "LDAP URL has a bad percent escape at position " +
                                  std::to_string(hostEnd + 1 + i) + ": \"" + u + "\"");
    }
    decoded += static_cast<char>(h * 16 + l);
    i += 2;
  }

  // Split the DN at unescaped ',' (and '+', multi-valued RDNs) and keep the dc= values.
  std::vector<std::string> parts;
  std::string current;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    char c = decoded[i];
    if (c == '\\' && i + 1 < decoded.size()) {
      current += c;
      current += decoded[++i];
    } else if (c == ',' || c == '+' || c == ';') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);
  std::string host;
  for (const std::string& part : parts) {
    std::string::size_type eq = part.find('=');
    if (eq == std::string::npos) continue;
    if (lowerAscii(trimSpaces(part.substr(0, eq))) != "dc") continue;
    std::string value = unescapeDNValue(trimSpaces(part.substr(eq + 1)));
    if (value.empty()) continue;
    if (!host.empty()) host += '.';
    host += value;
  }
  if (host.empty()) {
    throwEncoding(__LINE__,
                  "LDAP URL names no host and its DN has no dc= component: \"" + u + "\"");
  }
  return ZEVString(u.substr(0, schemeLength) + host + u.substr(hostEnd));
}

// ---- ZEVKRYUtility ----

ZEVFastBuffer ZEVKRYUtility::decodeData_BASE64(const ZEVFastBuffer& text, void* /*reserved*/) {
  return decodeBase64(text.getValue(), text.getLength());
}

ZEVFastBuffer ZEVKRYUtility::decodeData_BASE64(const ZEVASNCBuffer& text, void* /*reserved*/) {
  return decodeBase64(text.getValue(), text.getValue() != nullptr ? text.getLength() : 0);
}

ZEVString ZEVKRYUtility::encodeData_BASE64(const ZEVASNCBuffer& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char* p = bytes.getValue();
  std::size_t n = p != nullptr ? bytes.getLength() : 0;
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned long v = (static_cast<unsigned long>(p[i]) << 16) | (p[i + 1] << 8) | p[i + 2];
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += a[v & 63];
  }
  if (n - i == 1) {
    unsigned long v = static_cast<unsigned long>(p[i]) << 16;
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    unsigned long v = (static_cast<unsigned long>(p[i]) << 16) | (p[i + 1] << 8);
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += '=';
  }
  return ZEVString(out);
}

}  // namespace zev09000003
