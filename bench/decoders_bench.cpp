// Decoding speed and memory of stored values, ours against OpenSSL's decoders (the
// reference) on the same input in the same process run. One measurement per process, so
// the peak resident size belongs to that decoding alone:
//   decoders_bench KIND IMPL MEGABYTES
// KIND: pem-adversarial (BEGIN lines without END), base64, hex, pem, ldif-base64;
// IMPL: ours or ref. Prints "KIND IMPL inputMB seconds MB/s extraMB", where extraMB is the
// growth of the peak resident size during the decoding.
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>

#include "ldapsearch.h"
#include "zevcms.h"

using namespace zev09000003;

namespace {

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// A field of /proc/self/status in MB ("VmRSS", "VmHWM").
double statusMB(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  double kb = 0;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, std::strlen(field)) == 0) kb = std::atof(line + std::strlen(field) + 1);
  }
  if (f != nullptr) std::fclose(f);
  return kb / 1024.0;
}

// Starts a new peak: the input's making is not counted.
void resetPeak() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f != nullptr) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

// Base64 of n zero-ish bytes in lines of 64 characters.
std::string base64Lines(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 9));
  std::string out;
  out.reserve(n / 3 * 4 + n / 48 + 8);
  unsigned char line[80];
  for (std::size_t i = 0; i < n; i += 48) {
    int k = EVP_EncodeBlock(line, reinterpret_cast<const unsigned char*>(bytes.data()) + i,
                            static_cast<int>(n - i < 48 ? n - i : 48));
    out.append(reinterpret_cast<char*>(line), k);
    out += '\n';
  }
  return out;
}

std::string input(const std::string& kind, std::size_t size) {
  std::string text;
  if (kind == "pem-adversarial") {
    for (std::size_t i = 0; text.size() < size; ++i) {
      text += "-----BEGIN " + std::to_string(i) + "-----\n";
    }
  } else if (kind == "base64") {
    text = base64Lines(size / 4 * 3);
  } else if (kind == "hex") {
    static const char d[] = "0123456789abcdef";
    text.resize(size / 2 * 2);
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = d[(i * 7 + (i >> 5)) & 15];
  } else if (kind == "pem") {
    text = "-----BEGIN X509 CRL-----\n" + base64Lines(size / 4 * 3) + "-----END X509 CRL-----\n";
  } else if (kind == "ldif-base64") {
    std::string b = base64Lines(size / 4 * 3);
    std::string line;
    line.reserve(b.size());
    for (char c : b) {
      if (c != '\n') line += c;
    }
    text = "dn: cn=x\ncertificateRevocationList:: " + line + "\n\n";
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
    std::exit(2);
  }
  return text;
}

// Runs one decoding; returns the size of its output, so it cannot be optimised away.
std::size_t decode(const std::string& kind, bool ours, const std::string& text) {
  const ZEVASNCBuffer view(text.data(), text.size());
  if (kind == "pem-adversarial" || kind == "pem") {
    if (ours) {
      ZEVFastBuffer out;
      ZEVString type;
      ZEVUtility::Base64DearmorPemToBuf(out, type, view, nullptr);
      return out.getLength();
    }
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    char *name = nullptr, *header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    PEM_read_bio(bio, &name, &header, &data, &length);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    BIO_free(bio);
    return static_cast<std::size_t>(length);
  }
  if (kind == "base64") {
    if (ours) return ZEVKRYUtility::decodeData_BASE64(view, nullptr).getLength();
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(ctx);
    std::string out(text.size() / 4 * 3 + 80, '\0');
    int n = 0, total = 0;
    unsigned char* o = reinterpret_cast<unsigned char*>(&out[0]);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size(); i += 1 << 20) {
      int chunk = static_cast<int>(text.size() - i < (1u << 20) ? text.size() - i : 1 << 20);
      EVP_DecodeUpdate(ctx, o + total, &n, in + i, chunk);
      total += n;
    }
    EVP_DecodeFinal(ctx, o + total, &n);
    EVP_ENCODE_CTX_free(ctx);
    return static_cast<std::size_t>(total + n);
  }
  if (kind == "hex") {
    if (ours) return ZEVUtility::hexStringToBinary(view).getLength();
    long length = 0;
    unsigned char* out = OPENSSL_hexstr2buf(text.c_str(), &length);
    OPENSSL_free(out);
    return static_cast<std::size_t>(length);
  }
  // ldif-base64: our LDIF reader against reading the same lines with std::getline.
  std::istringstream in(text);
  if (ours) {
    LDAPSearchResults results(in);
    return results.count();
  }
  std::string line;
  std::size_t total = 0;
  while (std::getline(in, line)) total += line.size();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s KIND ours|ref MEGABYTES\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const bool ours = std::strcmp(argv[2], "ours") == 0;
  const std::size_t size = static_cast<std::size_t>(std::atof(argv[3]) * 1024 * 1024);
  const std::string text = input(kind, size);
  resetPeak();
  const double before = statusMB("VmRSS:");
  const double start = cpuSeconds();
  std::size_t produced = decode(kind, ours, text);
  const double seconds = cpuSeconds() - start;
  const double mb = text.size() / (1024.0 * 1024.0);
  std::printf("%s %s %.1f %.3f %.1f %.1f %zu\n", kind.c_str(), ours ? "ours" : "ref", mb, seconds,
              mb / (seconds > 1e-6 ? seconds : 1e-6), statusMB("VmHWM:") - before, produced);
  return 0;
}
