// Byte buffers of the host toolkit: ZEVASNCBuffer is a read-only view, ZEVFastBuffer owns its
// bytes. A buffer marked sensitive wipes every byte it drops (on free, shrink or regrowth).
#ifndef ZEV_CMS_ZEVBUFFER_H
#define ZEV_CMS_ZEVBUFFER_H

#include <cstddef>

#include "zevexport.h"

namespace zev09000003 {

// A view of bytes owned elsewhere; valid as long as the owner keeps them.
class ZEVCMS_EXPORT ZEVASNCBuffer {
 public:
  ZEVASNCBuffer() : data_(nullptr), length_(0) {}
  ZEVASNCBuffer(const void* data, std::size_t length)
      : data_(static_cast<const unsigned char*>(data)), length_(length) {}
  const unsigned char* getValue() const { return data_; }
  std::size_t getLength() const { return length_; }

 private:
  const unsigned char* data_;
  std::size_t length_;
};

// An owned, growable byte buffer. getValue() is never null (an empty buffer points at a
// zero byte) and stays valid until the buffer is changed or destroyed.
class ZEVCMS_EXPORT ZEVFastBuffer {
 public:
  ZEVFastBuffer();
  ZEVFastBuffer(std::size_t length, const void* bytes);  // copies; null bytes give zeros
  explicit ZEVFastBuffer(const ZEVASNCBuffer& bytes);    // copies
  ZEVFastBuffer(const ZEVFastBuffer& other);
  ZEVFastBuffer(ZEVFastBuffer&& other) noexcept;
  ZEVFastBuffer& operator=(const ZEVFastBuffer& other);
  ZEVFastBuffer& operator=(ZEVFastBuffer&& other) noexcept;
  virtual ~ZEVFastBuffer();

  std::size_t getLength() const { return length_; }
  unsigned char* getValue() { return data_; }
  const unsigned char* getValue() const { return data_; }
  unsigned char& operator[](std::size_t i) { return data_[i]; }
  const unsigned char& operator[](std::size_t i) const { return data_[i]; }

  void append(const void* bytes, std::size_t length);
  void append(const ZEVASNCBuffer& bytes);
  void append(unsigned char byte);
  // Shortens the buffer to n bytes (no effect when n is not smaller than the length).
  void truncate(std::size_t n);
  void setSensitiveData(bool sensitive = true);
  bool isSensitiveData() const { return sensitive_; }
  ZEVASNCBuffer get() const { return ZEVASNCBuffer(data_, length_); }

 private:
  void reserve(std::size_t capacity);
  void release();

  unsigned char* data_;
  std::size_t length_;
  std::size_t capacity_;
  bool sensitive_;
};

}  // namespace zev09000003

#endif
