// Test PKI, made once per process by scripts/make-test-pki (the openssl command, never the
// toolkit's own code) in a temporary folder that is removed at exit. Under Wine the script
// runs on the Linux side and the files are read through drive Z:.
#ifndef TESTS_SUPPORT_TESTPKI_H
#define TESTS_SUPPORT_TESTPKI_H

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/platform.h"

namespace testpki {

typedef std::vector<unsigned char> Bytes;

class Material {
 public:
  const std::string& dir() const { return dir_.path(); }
  std::string path(const std::string& file) const { return dir_.file(file); }
  Bytes der(const std::string& name) const { return read(name + ".der"); }  // "ca", "crl", ...
  std::string pem(const std::string& name) const {
    Bytes b = read(name + ".pem");
    return std::string(b.begin(), b.end());
  }

 private:
  friend const Material& get();
  Material() : dir_("zevpki.") {
    std::string cmd = testsupport::shellQuoted(ZEV_SOURCE_DIR "/scripts/make-test-pki") + " " +
                      testsupport::shellQuoted(dir_.path());
    if (testsupport::runShell(cmd).status != 0) throw std::runtime_error("make-test-pki failed");
  }
  Bytes read(const std::string& file) const {
    std::ifstream in(path(file), std::ios::binary);
    if (!in) throw std::runtime_error("missing test PKI file " + file);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  testsupport::TempDir dir_;
};

inline const Material& get() {
  static const Material material;
  return material;
}

// Bare Base64 of bytes, in lines of 64 characters unless lineBreaks is false.
inline std::string toBase64(const Bytes& bytes, bool lineBreaks = true) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? bytes[i + k] : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? a[(v >> (18 - 6 * k)) & 63] : '=';
    if (lineBreaks && (out.size() % 65 == 64 || i + 3 >= bytes.size())) out += '\n';
  }
  return out;
}

inline std::string toHex(const Bytes& bytes, bool upper = true) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{d[c >> 4], d[c & 15]};
  return out;
}

}  // namespace testpki

#endif
