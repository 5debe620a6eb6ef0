// ZEVFastBuffer: an owned byte buffer. The allocation always keeps one zero byte after the
// data, so getValue() of a text buffer is NUL-terminated; an empty buffer without storage
// points at a shared zero byte. A buffer marked sensitive wipes every byte it gives up.
#include "zevbuffer.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace zev09000003 {

namespace {
// Shared target of empty buffers; never written (a buffer writes only into storage it owns).
unsigned char emptyByte[1] = {0};
}  // namespace

ZEVFastBuffer::ZEVFastBuffer() : data_(emptyByte), length_(0), capacity_(0), sensitive_(false) {}

ZEVFastBuffer::ZEVFastBuffer(std::size_t length, const void* bytes) : ZEVFastBuffer() {
  reserve(length);
  if (length > 0) {
    if (bytes != nullptr) {
      std::memcpy(data_, bytes, length);
    } else {
      std::memset(data_, 0, length);
    }
    length_ = length;
    data_[length_] = 0;
  }
}

ZEVFastBuffer::ZEVFastBuffer(const ZEVASNCBuffer& bytes)
    : ZEVFastBuffer(bytes.getValue() != nullptr ? bytes.getLength() : 0, bytes.getValue()) {}

ZEVFastBuffer::ZEVFastBuffer(const ZEVFastBuffer& other) : ZEVFastBuffer() {
  // A copy of a secret is a secret: mark it before any byte is copied in.
  sensitive_ = other.sensitive_;
  append(other.data_, other.length_);
}

ZEVFastBuffer::ZEVFastBuffer(ZEVFastBuffer&& other) noexcept
    : data_(other.data_),
      length_(other.length_),
      capacity_(other.capacity_),
      sensitive_(other.sensitive_) {
  other.data_ = emptyByte;
  other.length_ = 0;
  other.capacity_ = 0;
}

ZEVFastBuffer& ZEVFastBuffer::operator=(const ZEVFastBuffer& other) {
  if (this != &other) {
    ZEVFastBuffer copy(other);
    copy.sensitive_ = copy.sensitive_ || sensitive_;
    *this = std::move(copy);
  }
  return *this;
}

ZEVFastBuffer& ZEVFastBuffer::operator=(ZEVFastBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    sensitive_ = other.sensitive_;
    other.data_ = emptyByte;
    other.length_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

ZEVFastBuffer::~ZEVFastBuffer() { release(); }

void ZEVFastBuffer::append(const void* bytes, std::size_t length) {
  if (length == 0) return;
  // The source may lie inside this buffer; remember its offset across a regrowth.
  const unsigned char* src = static_cast<const unsigned char*>(bytes);
  bool inside = capacity_ > 0 && src >= data_ && src < data_ + capacity_;
  std::size_t offset = inside ? static_cast<std::size_t>(src - data_) : 0;
  reserve(length_ + length);
  if (inside) src = data_ + offset;
  if (src != nullptr) {
    std::memmove(data_ + length_, src, length);
  } else {
    std::memset(data_ + length_, 0, length);
  }
  length_ += length;
  data_[length_] = 0;
}

void ZEVFastBuffer::append(const ZEVASNCBuffer& bytes) {
  append(bytes.getValue(), bytes.getValue() != nullptr ? bytes.getLength() : 0);
}

void ZEVFastBuffer::append(unsigned char byte) { append(&byte, 1); }

void ZEVFastBuffer::truncate(std::size_t n) {
  if (n >= length_) return;
  if (sensitive_) OPENSSL_cleanse(data_ + n, length_ - n);
  length_ = n;
  data_[length_] = 0;
}

void ZEVFastBuffer::setSensitiveData(bool sensitive) { sensitive_ = sensitive; }

// Makes room for capacity data bytes plus the trailing zero byte.
void ZEVFastBuffer::reserve(std::size_t capacity) {
  if (capacity + 1 <= capacity_) return;
  if (capacity + 1 < capacity) throw std::bad_alloc();
  std::size_t grown = capacity_ + capacity_ / 2;
  std::size_t wanted = capacity + 1 > grown ? capacity + 1 : grown;
  if (wanted < 16) wanted = 16;
  unsigned char* fresh = static_cast<unsigned char*>(std::malloc(wanted));
  if (fresh == nullptr) throw std::bad_alloc();
  if (length_ > 0) std::memcpy(fresh, data_, length_);
  fresh[length_] = 0;
  release();  // wipes the old storage when sensitive; the length is kept
  data_ = fresh;
  capacity_ = wanted;
}

// Frees the storage (wiping it first when sensitive); leaves length_ to the caller.
void ZEVFastBuffer::release() {
  if (capacity_ > 0) {
    if (sensitive_) OPENSSL_cleanse(data_, capacity_);
    std::free(data_);
  }
  data_ = emptyByte;
  capacity_ = 0;
}

}  // namespace zev09000003
