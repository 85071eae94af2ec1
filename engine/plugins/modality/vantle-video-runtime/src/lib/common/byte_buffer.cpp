#include "common/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/fatal.h"

namespace vantle {

namespace {
// Aligned for any element type the host arrays hold.
alignas(alignof(std::max_align_t)) unsigned char EMPTY_STORAGE[alignof(std::max_align_t)];
}  // namespace

void* empty_storage_address() noexcept { return EMPTY_STORAGE; }

void* allocate_array(std::size_t count, std::size_t element_size) noexcept {
  if (count == 0) {
    return empty_storage_address();
  }
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, element_size, &bytes)) {
    fatal("array size overflow");
  }
  void* storage = std::malloc(bytes);
  if (storage == nullptr) {
    fatal("out of memory");
  }
  return storage;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { std::free(data_); }

ByteBuffer ByteBuffer::with_capacity(std::size_t capacity) {
  ByteBuffer buffer;
  if (capacity == 0) {
    return buffer;
  }
  buffer.data_ = static_cast<std::uint8_t*>(std::malloc(capacity));
  if (buffer.data_ == nullptr) {
    fatal("out of memory");
  }
  buffer.capacity_ = capacity;
  return buffer;
}

ByteBuffer ByteBuffer::copy_of(const std::uint8_t* source, std::size_t size) {
  ByteBuffer buffer = with_capacity(size);
  if (size != 0) {
    std::memcpy(buffer.data_, source, size);
  }
  buffer.size_ = size;
  return buffer;
}

void ByteBuffer::set_size(std::size_t size) noexcept {
  if (size > capacity_) {
    fatal("byte buffer size exceeds its capacity");
  }
  size_ = size;
}

void ByteBuffer::shrink_to_fit() noexcept {
  if (size_ == capacity_) {
    return;
  }
  if (size_ == 0) {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    return;
  }
  auto* trimmed = static_cast<std::uint8_t*>(std::realloc(data_, size_));
  if (trimmed == nullptr) {
    fatal("out of memory");
  }
  data_ = trimmed;
  capacity_ = size_;
}

std::uint8_t* ByteBuffer::release() noexcept {
  size_ = 0;
  capacity_ = 0;
  return std::exchange(data_, nullptr);
}

}  // namespace vantle
