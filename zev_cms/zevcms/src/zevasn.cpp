// X.509 certificates, CRLs and X.500 names over OpenSSL 3, and the ASN.1 containers.
// OpenSSL's types appear only here; each handle lives in a small holder with its free
// function. Decoding is strict: every byte must belong to the one DER encoding.
#include "zevasn.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "asninternal.h"
#include "derreader.h"
#include "zevexception.h"

namespace zev09000003 {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct NameFree {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
struct NameEntryFree {
  void operator()(X509_NAME_ENTRY* e) const { X509_NAME_ENTRY_free(e); }
};
struct ObjectFree {
  void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};
struct TypeFree {
  void operator()(ASN1_TYPE* t) const { ASN1_TYPE_free(t); }
};
typedef std::unique_ptr<BIO, BioFree> BioPtr;
typedef std::unique_ptr<X509, X509Free> X509Ptr;
typedef std::unique_ptr<X509_NAME, NameFree> NamePtr;
typedef std::unique_ptr<X509_NAME_ENTRY, NameEntryFree> NameEntryPtr;
typedef std::unique_ptr<ASN1_OBJECT, ObjectFree> ObjectPtr;
typedef std::unique_ptr<ASN1_TYPE, TypeFree> TypePtr;

// The text of OpenSSL's oldest queued error (the root cause), and an empty queue afterwards.
std::string opensslError() {
  unsigned long code = ERR_get_error();
  std::string text;
  if (code == 0) {
    text = "no further detail from OpenSSL";
  } else {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text = buf;
  }
  ERR_clear_error();
  return text;
}

[[noreturn]] void fail(int line, const std::string& message) {
  throw ZEVException(__FILE__, line, ZEV_ERR_ASN_DECODE, ZEVString(message));
}

BioPtr memoryBio() {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) fail(__LINE__, "no memory for a BIO: " + opensslError());
  return bio;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

// "Jan  1 00:00:00 2026 GMT", as ASN1_TIME_print writes it; empty for a null time. A time in
// the strict form (whole seconds, Z) is formatted directly, without a BIO; any other goes to
// ASN1_TIME_print itself.
ZEVString timeText(const ASN1_TIME* t) {
  if (t == nullptr) return ZEVString();
  der::Tlv tlv;
  tlv.tag = static_cast<unsigned char>(ASN1_STRING_type(t));
  tlv.length = static_cast<std::size_t>(ASN1_STRING_length(t));
  try {
    return ZEVString(der::readTime(ASN1_STRING_get0_data(t), tlv, "time").text());
  } catch (const der::Error&) {
    // Not the strict form: OpenSSL's printer decides.
  }
  BioPtr bio = memoryBio();
  if (ASN1_TIME_print(bio.get(), t) != 1) {
    ERR_clear_error();
    return ZEVString("(bad time)");
  }
  return ZEVString(bioText(bio.get()));
}

// Runs a d2i function over the whole of der and returns the object in its holder, or throws
// naming what did not decode: bytes that do not parse, or bytes left after the encoding.
template <class Holder, class F>
Holder decodeStrict(const ZEVASNCBuffer& der, F d2i, const char* what) {
  const unsigned char* start = der.getValue();
  std::size_t length = start != nullptr ? der.getLength() : 0;
  if (length == 0) fail(__LINE__, std::string(what) + " does not decode: empty input");
  if (length > static_cast<std::size_t>(LONG_MAX)) {
    fail(__LINE__, std::string(what) + " does not decode: input too long");
  }
  ERR_clear_error();
  const unsigned char* p = start;
  Holder object(d2i(nullptr, &p, static_cast<long>(length)));
  if (!object) fail(__LINE__, std::string(what) + " does not decode: " + opensslError());
  std::size_t used = static_cast<std::size_t>(p - start);
  if (used != length) {
    fail(__LINE__, std::string(what) + " does not decode: trailing bytes after the DER encoding (" +
                       std::to_string(used) + " of " + std::to_string(length) + " used)");
  }
  return object;
}

// ---- RFC 4514 text to an X509_NAME ----

struct Ava {
  std::string type;
  std::string value;
  bool hex;  // value was "#<hex>": the BER of the attribute value
};
typedef std::vector<Ava> Rdn;

[[noreturn]] void badDN(int line, const std::string& text, const std::string& why) {
  fail(line, "DN text does not parse: \"" + text + "\": " + why);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses the RDNs in the order of the text (most significant last). Spaces around ',', '+'
// and '=' are tolerated; unescaped spaces at either end of a value are dropped. ';' is taken
// as ',' (the older RFC 1779/2253 separator).
std::vector<Rdn> parseRFC4514(const std::string& text) {
  std::vector<Rdn> rdns;
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto skipSpaces = [&] {
    while (i < n && text[i] == ' ') ++i;
  };
  skipSpaces();
  if (i == n) return rdns;  // the empty name
  Rdn rdn;
  for (;;) {
    Ava ava;
    ava.hex = false;
    skipSpaces();
    std::size_t typeStart = i;
    while (i < n && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' ||
                     text[i] == '.')) {
      ++i;
    }
    ava.type = text.substr(typeStart, i - typeStart);
    if (ava.type.empty()) {
      badDN(__LINE__, text, "attribute type expected at position " + std::to_string(typeStart));
    }
    skipSpaces();
    if (i >= n || text[i] != '=') {
      badDN(__LINE__, text, "'=' expected after \"" + ava.type + "\"");
    }
    ++i;
    skipSpaces();
    if (i < n && text[i] == '#') {
      ava.hex = true;
      ++i;
      std::size_t start = i;
      while (i + 1 < n && hexDigit(text[i]) >= 0 && hexDigit(text[i + 1]) >= 0) {
        ava.value += static_cast<char>(hexDigit(text[i]) * 16 + hexDigit(text[i + 1]));
        i += 2;
      }
      if (i == start) badDN(__LINE__, text, "hex digits expected after '#'");
      skipSpaces();
    } else {
      std::size_t keep = 0;  // length of the value up to its last escaped or non-space byte
      while (i < n) {
        char c = text[i];
        if (c == ',' || c == '+' || c == ';') break;
        if (c == '\\') {
          if (i + 1 >= n) badDN(__LINE__, text, "escape at the end of the text");
          int h = hexDigit(text[i + 1]);
          int l = i + 2 < n ? hexDigit(text[i + 2]) : -1;
          if (h >= 0 && l >= 0) {
            ava.value += static_cast<char>(h * 16 + l);
            i += 3;
          } else if (std::string(" \"#+,;<=>\\").find(text[i + 1]) != std::string::npos) {
            ava.value += text[i + 1];
            i += 2;
          } else {
            badDN(__LINE__, text, "bad escape at position " + std::to_string(i));
          }
          keep = ava.value.size();
          continue;
        }
        if (c == '"' || c == '<' || c == '>') {
          badDN(__LINE__, text,
                std::string("unescaped '") + c + "' at position " + std::to_string(i));
        }
        ava.value += c;
        if (c != ' ') keep = ava.value.size();
        ++i;
      }
      ava.value.resize(keep);
    }
    rdn.push_back(ava);
    if (i >= n) break;
    char separator = text[i++];
    if (separator == '+') continue;
    if (separator != ',' && separator != ';') {
      badDN(__LINE__, text, "unexpected text at position " + std::to_string(i - 1));
    }
    rdns.push_back(rdn);
    rdn.clear();
  }
  rdns.push_back(rdn);
  return rdns;
}

// The object of an attribute type: a numeric OID (optionally "OID." first), a short name
// in any case ("cn", "CN"), or a long name ("commonName").
ObjectPtr attributeObject(const std::string& type) {
  std::string t = type;
  if (t.size() > 4 && (t.compare(0, 4, "oid.") == 0 || t.compare(0, 4, "OID.") == 0)) {
    t = t.substr(4);
  }
  if (!t.empty() && std::isdigit(static_cast<unsigned char>(t[0]))) {
    ObjectPtr obj(OBJ_txt2obj(t.c_str(), 1));
    ERR_clear_error();
    return obj;
  }
  // LDAP's names come first and in any case: OpenSSL's own short names differ for some of
  // them ("uid" is userId in LDAP, x500UniqueIdentifier in OpenSSL).
  std::string lower = t;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* name;
    int nid;
  } kLdapNames[] = {{"cn", NID_commonName},
                    {"commonname", NID_commonName},
                    {"c", NID_countryName},
                    {"countryname", NID_countryName},
                    {"o", NID_organizationName},
                    {"organizationname", NID_organizationName},
                    {"ou", NID_organizationalUnitName},
                    {"organizationalunitname", NID_organizationalUnitName},
                    {"l", NID_localityName},
                    {"localityname", NID_localityName},
                    {"st", NID_stateOrProvinceName},
                    {"stateorprovincename", NID_stateOrProvinceName},
                    {"street", NID_streetAddress},
                    {"dc", NID_domainComponent},
                    {"domaincomponent", NID_domainComponent},
                    {"uid", NID_userId},
                    {"userid", NID_userId},
                    {"email", NID_pkcs9_emailAddress},
                    {"emailaddress", NID_pkcs9_emailAddress},
                    {"sn", NID_surname},
                    {"surname", NID_surname},
                    {"givenname", NID_givenName},
                    {"serialnumber", NID_serialNumber},
                    {"title", NID_title}};
  int nid = NID_undef;
  for (const auto& entry : kLdapNames) {
    if (lower == entry.name) nid = entry.nid;
  }
  if (nid == NID_undef) nid = OBJ_sn2nid(t.c_str());
  if (nid == NID_undef) nid = OBJ_ln2nid(t.c_str());
  ERR_clear_error();
  if (nid == NID_undef) return ObjectPtr();
  return ObjectPtr(OBJ_dup(OBJ_nid2obj(nid)));
}

// The types a '#' value may have: the string types a name's value can be encoded in.
bool isHexValueType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_BMPSTRING:
      return true;
    default:
      return false;
  }
}

NamePtr buildName(const std::string& text) {
  std::vector<Rdn> rdns = parseRFC4514(text);
  NamePtr name(X509_NAME_new());
  if (!name) fail(__LINE__, "no memory for a name: " + opensslError());
  // X.509 order is the reverse of the text's: the most significant RDN comes first.
  for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn) {
    bool first = true;
    // Printing in RFC 2253 order reverses the entries of a multi-valued RDN too; adding
    // them reversed keeps the text's order when the name is printed again.
    for (auto it = rdn->rbegin(); it != rdn->rend(); ++it) {
      const Ava& ava = *it;
      ObjectPtr obj = attributeObject(ava.type);
      if (!obj) badDN(__LINE__, text, "unknown attribute type \"" + ava.type + "\"");
      NameEntryPtr entry;
      if (ava.hex) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(ava.value.data());
        TypePtr value(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(ava.value.size())));
        if (!value ||
            p != reinterpret_cast<const unsigned char*>(ava.value.data()) + ava.value.size()) {
          ERR_clear_error();
          badDN(__LINE__, text, "the '#' value of \"" + ava.type + "\" is not one BER value");
        }
        if (!isHexValueType(value->type)) {
          badDN(__LINE__, text, "the '#' value of \"" + ava.type + "\" is not a string");
        }
        const ASN1_STRING* s = value->value.asn1_string;
        entry.reset(X509_NAME_ENTRY_create_by_OBJ(nullptr, obj.get(), value->type,
                                                  ASN1_STRING_get0_data(s), ASN1_STRING_length(s)));
      } else {
        entry.reset(
            X509_NAME_ENTRY_create_by_OBJ(nullptr, obj.get(), MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(ava.value.data()),
                                          static_cast<int>(ava.value.size())));
      }
      if (!entry) {
        badDN(__LINE__, text,
              "the value of \"" + ava.type + "\" is not accepted: " + opensslError());
      }
      // set 0 starts a new RDN; -1 adds to the last one (a multi-valued RDN).
      if (X509_NAME_add_entry(name.get(), entry.get(), -1, first ? 0 : -1) != 1) {
        badDN(__LINE__, text, "cannot add \"" + ava.type + "\": " + opensslError());
      }
      first = false;
    }
  }
  // A '#' value's bytes are not checked against its type when it is added (a UTF8String
  // that is not UTF-8); encoding the name checks them, so such a name is refused here.
  if (i2d_X509_NAME(name.get(), nullptr) < 0) {
    badDN(__LINE__, text, "the name does not encode: " + opensslError());
  }
  return name;
}

// ---- X509_NAME to RFC 4514 text ----

// "#" and the hex of the value's DER (RFC 4514 2.4): the form that parses back to exactly
// this value whatever its type and bytes.
std::string hexValueText(const ASN1_STRING* s) {
  ASN1_TYPE t;
  int type = ASN1_STRING_type(s);
  if (type == V_ASN1_NEG_INTEGER) type = V_ASN1_INTEGER;
  if (type == V_ASN1_NEG_ENUMERATED) type = V_ASN1_ENUMERATED;
  t.type = type;
  t.value.asn1_string = const_cast<ASN1_STRING*>(s);
  unsigned char* der = nullptr;
  int n = i2d_ASN1_TYPE(&t, &der);
  if (n < 0) fail(__LINE__, "cannot encode a name's value: " + opensslError());
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "#";
  for (int i = 0; i < n; ++i) {
    out += kDigits[der[i] >> 4];
    out += kDigits[der[i] & 15];
  }
  OPENSSL_free(der);
  return out;
}

// Types whose values compare by their characters (OpenSSL's canonical form of names): a
// value of one of them may come back from text in another of them and still be equal.
bool comparesByText(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
      return true;
    default:
      return false;
  }
}

// The value as UTF-8 when it is a character string that converts, else false.
bool utf8Value(const ASN1_STRING* s, std::string* text) {
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_BMPSTRING:
      break;
    default:
      return false;
  }
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, s);
  if (n < 0) {
    ERR_clear_error();
    return false;
  }
  text->assign(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(n));
  OPENSSL_free(utf8);
  return true;
}

// RFC 4514 escaping of a UTF-8 value: the special characters, a leading '#' or space, a
// trailing space (a one-character value is both first and last), and control characters
// as \XX. Bytes above 0x7F stay as they are, so UTF-8 text stays readable.
std::string escapedValue(const std::string& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(v[i]);
    if (c < 0x20 || c == 0x7f) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02X", c);
      out += hex;
      continue;
    }
    bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                   c == ';' || (i == 0 && (c == '#' || c == ' ')) ||
                   (i + 1 == v.size() && c == ' ');
    if (special) out += '\\';
    out += static_cast<char>(c);
  }
  return out;
}

// The attribute type as text that parses back to the same type: the short name when the
// parser maps it back to this object, else the dotted OID.
std::string typeText(const ASN1_OBJECT* object, bool* known) {
  int nid = OBJ_obj2nid(object);
  *known = false;
  if (nid != NID_undef) {
    const char* sn = OBJ_nid2sn(nid);
    ObjectPtr back = sn != nullptr ? attributeObject(sn) : ObjectPtr();
    if (back && OBJ_cmp(back.get(), object) == 0) {
      *known = true;
      return sn;
    }
  }
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, object, 1);
  if (n < 0 || n >= static_cast<int>(sizeof buf)) {
    fail(__LINE__, "cannot print an attribute type: " + opensslError());
  }
  return buf;
}

// One value as RFC 4514 text. A character string of a known type prints as escaped UTF-8
// when that text gives the same characters again through the parser (the attribute's
// string rules allow it: a country is two printable characters, a common name 1 to 64
// characters) and the type it comes back in compares equal to this one; any other value
// prints as '#' and the hex of its DER. Design choice: hex for
// the few values text cannot carry, so every printed name parses back to the same name.
std::string valueText(const X509_NAME_ENTRY* entry, const ASN1_OBJECT* object, bool knownType) {
  const ASN1_STRING* s = X509_NAME_ENTRY_get_data(entry);
  std::string utf8;
  if (!knownType || !utf8Value(s, &utf8)) return hexValueText(s);
  NameEntryPtr again(X509_NAME_ENTRY_create_by_OBJ(
      nullptr, object, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(utf8.data()),
      static_cast<int>(utf8.size())));
  std::string utf8Again;
  const ASN1_STRING* s2 = again ? X509_NAME_ENTRY_get_data(again.get()) : nullptr;
  bool sameType = s2 != nullptr &&
                  (ASN1_STRING_type(s2) == ASN1_STRING_type(s) ||
                   (comparesByText(ASN1_STRING_type(s2)) && comparesByText(ASN1_STRING_type(s))));
  if (!sameType || !utf8Value(s2, &utf8Again) || utf8Again != utf8) {
    ERR_clear_error();
    return hexValueText(s);
  }
  return escapedValue(utf8);
}

// RFC 2253 / 4514 text of a name: most significant RDN last, ',' between RDNs, '+' between
// the values of a multi-valued RDN (last entry first, the reverse of the DER's order).
std::string nameText(const X509_NAME* name) {
  std::string out;
  int previousSet = -1;
  for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(entry);
    if (previousSet != -1) out += set == previousSet ? '+' : ',';
    previousSet = set;
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    bool known = false;
    out += typeText(object, &known);
    out += '=';
    out += valueText(entry, object, known);
  }
  return out;
}

}  // namespace

// ---- Impl holders ----

struct ZEVASNx500Name::Impl {
  explicit Impl(X509_NAME* n) : name(n) {}
  ~Impl() { X509_NAME_free(name); }
  X509_NAME* name;
};

struct ZEVASNx509Certificate::Impl {
  X509Ptr cert;
};

namespace {
ZEVASNx500Name nameCopy(const X509_NAME* source) {
  X509_NAME* copy = X509_NAME_dup(source);
  if (copy == nullptr) fail(__LINE__, "cannot copy a name: " + opensslError());
  return ZEVASNx500Name(std::unique_ptr<ZEVASNx500Name::Impl>(new ZEVASNx500Name::Impl(copy)));
}
}  // namespace

// ---- ZEVASNObject ----

ZEVASNObject::ZEVASNObject(int securityType) : securityType_(securityType) {}
ZEVASNObject::~ZEVASNObject() {}

void ZEVASNObject::setDER(ZEVFastBuffer&& der) {
  setDER(der.get());
  der = ZEVFastBuffer();
}

ZEVString ZEVASNObject::getSHA256Fingerprint() const {
  if (isEmpty()) fail(__LINE__, "fingerprint of an empty object");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLength = 0;
  if (EVP_Digest(der_.getValue(), der_.getLength(), md, &mdLength, EVP_sha256(), nullptr) != 1) {
    fail(__LINE__, "SHA-256 failed: " + opensslError());
  }
  static const char digits[] = "0123456789ABCDEF";
  std::string out(mdLength != 0 ? mdLength * 3 - 1 : 0, ':');
  for (unsigned int i = 0; i < mdLength; ++i) {
    out[i * 3] = digits[md[i] >> 4];
    out[i * 3 + 1] = digits[md[i] & 15];
  }
  return ZEVString(out);
}

// ---- ZEVASNx500Name ----

ZEVASNx500Name::ZEVASNx500Name() : impl_(new Impl(X509_NAME_new())) {
  if (impl_->name == nullptr) fail(__LINE__, "no memory for a name: " + opensslError());
}

ZEVASNx500Name::ZEVASNx500Name(const ZEVASNx500Name& other)
    : impl_(new Impl(X509_NAME_dup(other.impl_->name))) {
  if (impl_->name == nullptr) fail(__LINE__, "cannot copy a name: " + opensslError());
}

ZEVASNx500Name& ZEVASNx500Name::operator=(const ZEVASNx500Name& other) {
  if (this != &other) {
    std::unique_ptr<Impl> copy(new Impl(X509_NAME_dup(other.impl_->name)));
    if (copy->name == nullptr) fail(__LINE__, "cannot copy a name: " + opensslError());
    impl_ = std::move(copy);
  }
  return *this;
}

ZEVASNx500Name::~ZEVASNx500Name() {}

ZEVASNx500Name::ZEVASNx500Name(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  if (!impl_ || impl_->name == nullptr) {
    X509_NAME* empty = X509_NAME_new();
    if (empty == nullptr) fail(__LINE__, "no memory for a name: " + opensslError());
    impl_.reset(new Impl(empty));
  }
}

ZEVASNx500Name ZEVASNx500Name::fromDER(const ZEVASNCBuffer& der) {
  NamePtr name = decodeStrict<NamePtr>(der, d2i_X509_NAME, "name");
  return ZEVASNx500Name(std::unique_ptr<Impl>(new Impl(name.release())));
}

ZEVASNx500Name ZEVASNx500Name::fromRFC4514(const ZEVString& text) {
  if (text.str().find('\0') != std::string::npos) {
    badDN(__LINE__, text.str(), "zero byte in the text");
  }
  NamePtr name = buildName(text.str());
  return ZEVASNx500Name(std::unique_ptr<Impl>(new Impl(name.release())));
}

ZEVString ZEVASNx500Name::getRFC2253String() const { return ZEVString(nameText(impl_->name)); }

ZEVFastBuffer ZEVASNx500Name::getDER() const {
  unsigned char* der = nullptr;
  int n = i2d_X509_NAME(impl_->name, &der);
  if (n < 0) fail(__LINE__, "cannot encode a name: " + opensslError());
  ZEVFastBuffer out(static_cast<std::size_t>(n), der);
  OPENSSL_free(der);
  return out;
}

bool ZEVASNx500Name::operator==(const ZEVASNx500Name& other) const {
  return X509_NAME_cmp(impl_->name, other.impl_->name) == 0;
}

// ---- ZEVASNx509Certificate ----

ZEVASNx509Certificate::ZEVASNx509Certificate(int securityType)
    : ZEVASNObject(securityType), impl_(new Impl) {}
ZEVASNx509Certificate::~ZEVASNx509Certificate() {}

void ZEVASNx509Certificate::setDER(const ZEVASNCBuffer& der) {
  X509Ptr cert = decodeStrict<X509Ptr>(der, d2i_X509, "certificate");
  ZEVFastBuffer copy(der);  // der may point into der_ itself
  impl_->cert = std::move(cert);
  der_ = std::move(copy);
}

void ZEVASNx509Certificate::setDER(ZEVFastBuffer&& der) {
  X509Ptr cert = decodeStrict<X509Ptr>(der.get(), d2i_X509, "certificate");
  impl_->cert = std::move(cert);
  der_ = std::move(der);
}

namespace {
X509* certOf(const std::unique_ptr<ZEVASNx509Certificate::Impl>& impl) {
  if (!impl->cert) fail(__LINE__, "the certificate object is empty");
  return impl->cert.get();
}
}  // namespace

ZEVString ZEVASNx509Certificate::getPEM() const {
  X509* cert = certOf(impl_);
  BioPtr bio = memoryBio();
  if (PEM_write_bio_X509(bio.get(), cert) != 1) {
    fail(__LINE__, "cannot write the certificate as PEM: " + opensslError());
  }
  return ZEVString(bioText(bio.get()));
}

ZEVASNx500Name ZEVASNx509Certificate::getSubject() const {
  return nameCopy(X509_get_subject_name(certOf(impl_)));
}

ZEVASNx500Name ZEVASNx509Certificate::getIssuer() const {
  return nameCopy(X509_get_issuer_name(certOf(impl_)));
}

ZEVString ZEVASNx509Certificate::getSubjectText() const {
  return ZEVString(nameText(X509_get_subject_name(certOf(impl_))));
}

ZEVString ZEVASNx509Certificate::getIssuerText() const {
  return ZEVString(nameText(X509_get_issuer_name(certOf(impl_))));
}

ZEVString ZEVASNx509Certificate::getSerialNumberHex() const {
  // What "openssl x509 -serial" prints (i2a_ASN1_INTEGER): a '-' when negative, then the
  // magnitude's bytes as upper-case hex pairs ("00" for none), a backslash and a line break
  // before every 35th byte; written here without a BIO.
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certOf(impl_));
  const unsigned char* bytes = ASN1_STRING_get0_data(serial);
  const int n = ASN1_STRING_length(serial);
  static const char digits[] = "0123456789ABCDEF";
  std::string out = (ASN1_STRING_type(serial) & V_ASN1_NEG) != 0 ? "-" : "";
  if (n <= 0) return ZEVString(out + "00");
  for (int i = 0; i < n; ++i) {
    if (i != 0 && i % 35 == 0) out += "\\\n";
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return ZEVString(out);
}

ZEVString ZEVASNx509Certificate::getNotBefore() const {
  return timeText(X509_get0_notBefore(certOf(impl_)));
}

ZEVString ZEVASNx509Certificate::getNotAfter() const {
  return timeText(X509_get0_notAfter(certOf(impl_)));
}

bool ZEVASNx509Certificate::isCA() const {
  int critical = 0;
  BASIC_CONSTRAINTS* bc = static_cast<BASIC_CONSTRAINTS*>(
      X509_get_ext_d2i(certOf(impl_), NID_basic_constraints, &critical, nullptr));
  ERR_clear_error();
  if (bc == nullptr) return false;
  bool ca = bc->ca != 0;
  BASIC_CONSTRAINTS_free(bc);
  return ca;
}

namespace {
// Seconds since the epoch of an ASN.1 time (UTCTime or GeneralizedTime, always UTC here).
ZEVEpochSeconds epochOf(const ASN1_TIME* t) {
  struct tm parts = {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &parts) != 1) {
    ERR_clear_error();
    fail(__LINE__, "a time of the object does not decode");
  }
  der::Time time = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                    parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  return time.epochSeconds();
}
}  // namespace

namespace asn {
// The URIs among names, as they stand.
std::vector<ZEVString> uriNames(const GENERAL_NAMES* names) {
  std::vector<ZEVString> uris;
  for (int k = 0; k < sk_GENERAL_NAME_num(names); ++k) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, k);
    if (gn->type != GEN_URI) continue;
    const ASN1_IA5STRING* uri = gn->d.uniformResourceIdentifier;
    uris.push_back(ZEVString(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                         static_cast<std::size_t>(ASN1_STRING_length(uri)))));
  }
  return uris;
}
}  // namespace asn

std::vector<ZEVString> ZEVASNx509Certificate::getLDAPDistributionPoints() const {
  std::vector<ZEVString> urls;
  int critical = 0;
  CRL_DIST_POINTS* points = static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(certOf(impl_), NID_crl_distribution_points, &critical, nullptr));
  ERR_clear_error();
  if (points == nullptr) return urls;
  for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
    const DIST_POINT* point = sk_DIST_POINT_value(points, i);
    if (point->distpoint == nullptr || point->distpoint->type != 0) continue;  // full names only
    for (const ZEVString& uri : asn::uriNames(point->distpoint->name.fullname)) {
      const std::string& text = uri.str();
      std::string head = text.substr(0, 8);
      for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (head.compare(0, 7, "ldap://") == 0 || head.compare(0, 8, "ldaps://") == 0) {
        urls.push_back(uri);
      }
    }
  }
  CRL_DIST_POINTS_free(points);
  return urls;
}

ZEVEpochSeconds ZEVASNx509Certificate::getNotBeforeTime() const {
  return epochOf(X509_get0_notBefore(certOf(impl_)));
}

ZEVEpochSeconds ZEVASNx509Certificate::getNotAfterTime() const {
  return epochOf(X509_get0_notAfter(certOf(impl_)));
}

bool ZEVASNx509Certificate::verifySignature(const ZEVASNx509Certificate& issuer) const {
  X509* cert = certOf(impl_);
  if (issuer.impl() == nullptr || !issuer.impl()->cert) return false;
  EVP_PKEY* key = X509_get0_pubkey(issuer.impl()->cert.get());
  bool ok = key != nullptr && X509_verify(cert, key) == 1;
  ERR_clear_error();
  return ok;
}

namespace {
// X509_get_key_usage gives every bit when the certificate has no keyUsage extension.
bool keyUsageAllows(X509* cert, uint32_t bit) {
  uint32_t usage = X509_get_key_usage(cert);
  ERR_clear_error();
  return (usage & bit) != 0;
}
}  // namespace

bool ZEVASNx509Certificate::allowsCertSigning() const {
  return keyUsageAllows(certOf(impl_), KU_KEY_CERT_SIGN);
}

bool ZEVASNx509Certificate::allowsCRLSigning() const {
  return keyUsageAllows(certOf(impl_), KU_CRL_SIGN);
}

// ---- what the CRL reader (zevcrl.cpp) needs of a certificate ----

namespace asn {

std::string serialContent(const ZEVASNx509Certificate& cert) {
  if (cert.impl() == nullptr || !cert.impl()->cert) {
    fail(__LINE__, "revocation lookup of an empty certificate object");
  }
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.impl()->cert.get());
  unsigned char* der = nullptr;
  int n = i2d_ASN1_INTEGER(serial, &der);
  if (n <= 0) fail(__LINE__, "cannot encode a serial number: " + opensslError());
  // Skip the tag and the length: the content bytes alone.
  const unsigned char* p = der;
  long length = 0;
  int tag = 0, xclass = 0;
  std::string content;
  if (ASN1_get_object(&p, &length, &tag, &xclass, n) == 0) {
    content.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
  }
  OPENSSL_free(der);
  if (content.empty()) fail(__LINE__, "cannot encode a serial number");
  return content;
}

EVP_PKEY* publicKey(const ZEVASNx509Certificate& cert) {
  if (cert.impl() == nullptr || !cert.impl()->cert) return nullptr;
  EVP_PKEY* key = X509_get0_pubkey(cert.impl()->cert.get());
  ERR_clear_error();
  return key;
}

std::string opensslError() { return zev09000003::opensslError(); }

}  // namespace asn

// ---- containers ----

ZEVASNCertificateContainer::ZEVASNCertificateContainer(ZEVOwnership ownership)
    : ZEVASNContainer<ZEVASNx509Certificate>(ownership) {}
ZEVASNCertificateContainer::~ZEVASNCertificateContainer() {}

ZEVASNCRLContainer::ZEVASNCRLContainer(ZEVOwnership ownership)
    : ZEVASNContainer<ZEVASNCertificateList>(ownership) {}
ZEVASNCRLContainer::~ZEVASNCRLContainer() {}

// ---- ZEVASNUtility ----

void ZEVASNUtility::setDEREncoding(const ZEVFastBuffer& der, ZEVASNObject& object) {
  object.setDER(der.get());
}

void ZEVASNUtility::setDEREncoding(const ZEVASNCBuffer& der, ZEVASNObject& object) {
  object.setDER(der);
}

void ZEVASNUtility::setDEREncoding(ZEVFastBuffer&& der, ZEVASNObject& object) {
  object.setDER(std::move(der));
}

ZEVString ZEVASNUtility::getRFC2253String(const ZEVASNx500Name& name, bool /*reverse*/,
                                          int /*format*/) {
  return name.getRFC2253String();
}

long long ZEVASNUtility::daysFromCivil(long long year, unsigned month, unsigned day) {
  // Counted in 400-year eras of 146097 days, each year starting on 1 March so that the leap
  // day comes last; 719468 is the day number of 1970-01-01 on that count.
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

unsigned ZEVASNUtility::daysInMonth(long long year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace zev09000003
