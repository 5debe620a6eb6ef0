// Encoding helpers: hex dump, hex and Base64 decoding, PEM de-armouring, and the filling of
// an LDAP URL's empty host from the dc= components of its DN.
#include "zevutility.h"

#include <cctype>
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

// Strict Base64 (see decodeData_BASE64).
ZEVFastBuffer decodeBase64(const unsigned char* text, std::size_t length) {
  std::vector<unsigned char> symbols;  // the text without white space
  std::vector<std::size_t> positions;  // their positions in the text, for messages
  symbols.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = text[i];
    if (isSpace(c)) continue;
    if (c != '=' && base64Value(c) < 0) {
      throwEncoding(__LINE__, "Base64 text has a character that is not Base64: " + showChar(c) +
                                  " at position " + std::to_string(i));
    }
    symbols.push_back(c);
    positions.push_back(i);
  }
  if (symbols.size() % 4 != 0) {
    throwEncoding(__LINE__, "Base64 text has " + std::to_string(symbols.size()) +
                                " characters, not a multiple of 4");
  }
  std::size_t padding = 0;
  if (!symbols.empty() && symbols.back() == '=') {
    padding = (symbols[symbols.size() - 2] == '=') ? 2 : 1;
  }
  for (std::size_t i = 0; i + padding < symbols.size(); ++i) {
    if (symbols[i] == '=') {
      throwEncoding(__LINE__, "Base64 text has padding '=' before its end, at position " +
                                  std::to_string(positions[i]));
    }
  }
  ZEVFastBuffer out;
  for (std::size_t i = 0; i < symbols.size(); i += 4) {
    bool last = i + 4 == symbols.size();
    std::size_t pad = last ? padding : 0;
    unsigned long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int d = (k < 4 - pad) ? base64Value(symbols[i + k]) : 0;
      v = (v << 6) | static_cast<unsigned long>(d);
    }
    unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>((v >> 8) & 0xff),
                              static_cast<unsigned char>(v & 0xff)};
    out.append(bytes, 3 - pad);
  }
  return out;
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
  ZEVFastBuffer out;
  int high = -1;
  std::size_t digits = 0;
  for (std::size_t i = 0; i < hex.length(); ++i) {
    unsigned char c = static_cast<unsigned char>(hex[i]);
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
      out.append(static_cast<unsigned char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) {
    throwEncoding(__LINE__,
                  "hex text has an odd number of digits (" + std::to_string(digits) + ")");
  }
  return out;
}

// Returns 0 on success, 1 when no BEGIN line with a matching END line is found, 2 when the
// block has headers (such as "Proc-Type:", not supported) or a body that is not Base64.
int ZEVUtility::Base64DearmorPemToBuf(ZEVFastBuffer& out, ZEVString& type, const ZEVFastBuffer& in,
                                      void* /*reserved*/) {
  const std::string text(reinterpret_cast<const char*>(in.getValue()), in.getLength());
  static const std::string kBegin = "-----BEGIN ";
  static const std::string kDashes = "-----";
  std::string::size_type pos = 0;
  while ((pos = text.find(kBegin, pos)) != std::string::npos) {
    std::string::size_type labelStart = pos + kBegin.size();
    std::string::size_type labelEnd = text.find(kDashes, labelStart);
    std::string::size_type lineEnd = text.find('\n', labelStart);
    pos = labelStart;
    if (labelEnd == std::string::npos || (lineEnd != std::string::npos && labelEnd > lineEnd)) {
      continue;  // not a BEGIN line; look for the next one
    }
    std::string label = text.substr(labelStart, labelEnd - labelStart);
    std::string endLine = "-----END " + label + "-----";
    std::string::size_type bodyStart = labelEnd + kDashes.size();
    std::string::size_type endPos = text.find(endLine, bodyStart);
    if (endPos == std::string::npos) continue;
    std::string body = text.substr(bodyStart, endPos - bodyStart);
    if (body.find(':') != std::string::npos) return 2;
    try {
      ZEVFastBuffer decoded =
          decodeBase64(reinterpret_cast<const unsigned char*>(body.data()), body.size());
      if (decoded.getLength() == 0) return 2;
      out = std::move(decoded);
      type = ZEVString(label);
      return 0;
    } catch (const ZEVException&) {
      return 2;
    }
  }
  return 1;
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
