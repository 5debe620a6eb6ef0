// Encoding helpers of the toolkit.
#ifndef ZEV_CMS_ZEVUTILITY_H
#define ZEV_CMS_ZEVUTILITY_H

#include <iosfwd>

#include "zevbuffer.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

// Error code of the ZEVException thrown for bad hex, Base64 or LDAP URL text.
const long ZEV_ERR_ENCODING = 571101;  // 0x8B6DD

// The decoders of stored values (hex, PEM, Base64) run in time linear in their input and
// keep no more than the output besides it. Each takes its input either as an owned buffer
// or as a ZEVASNCBuffer view; the two forms give the same results, and the view form lets a
// caller decode bytes it does not own (part of a larger buffer) without copying them first.
// The view is only read; it must stay valid for the call, and it may view the out buffer.

class ZEVCMS_EXPORT ZEVUtility {
 public:
  // Writes a dump: a line with the label, then for each 16 bytes the offset (8 hex digits),
  // the bytes in hex and their printable characters ('.' for the others).
  static void hexdump(std::ostream& os, const ZEVASNCBuffer& bytes, const char* label);
  static void hexdump(std::ostream& os, const ZEVFastBuffer& bytes, const char* label);

  // Hex digits to bytes; white space is skipped. Throws ZEVException on an odd number of
  // digits or on any other character.
  static ZEVFastBuffer hexStringToBinary(const ZEVString& hex);
  static ZEVFastBuffer hexStringToBinary(const ZEVASNCBuffer& hex);

  // Finds a PEM block ("-----BEGIN <type>-----" ... "-----END <type>-----") in in, with any
  // text before and after it, and decodes its Base64 body into out. The block is the first
  // BEGIN line (its label on one line) that a matching END line follows. Returns 0 and sets
  // type to the label on success; returns non-zero, leaving out and type unchanged, when in
  // holds no well-formed PEM block: 1 when no BEGIN line has a matching END line, 2 when
  // that block has headers ("Proc-Type: ...") or a body that is not Base64 or is empty.
  static int Base64DearmorPemToBuf(ZEVFastBuffer& out, ZEVString& type, const ZEVFastBuffer& in,
                                   void* reserved);
  static int Base64DearmorPemToBuf(ZEVFastBuffer& out, ZEVString& type, const ZEVASNCBuffer& in,
                                   void* reserved);

  // Fills the empty host of an LDAP URL ("ldap:///<dn>?...") from the dc= components of its
  // DN: "ldap:///cn=x,dc=example,dc=com" gives "ldap://example.com/cn=x,dc=example,dc=com".
  // A URL that names a host comes back unchanged. Throws ZEVException when the host is empty
  // and the DN has no dc= component, or when the text is not an LDAP URL.
  static ZEVString convertDCtoHost(const ZEVString& url);
};

class ZEVCMS_EXPORT ZEVKRYUtility {
 public:
  // Decodes bare Base64 (line breaks and other white space allowed, '=' padding required
  // where the length needs it). Throws ZEVException on any other character or a bad length.
  static ZEVFastBuffer decodeData_BASE64(const ZEVFastBuffer& text, void* reserved);
  static ZEVFastBuffer decodeData_BASE64(const ZEVASNCBuffer& text, void* reserved);
  static ZEVString encodeData_BASE64(const ZEVASNCBuffer& bytes);
};

}  // namespace zev09000003

#endif
