#include "common/byte_buffer.h"

#include <cstring>
#include <utility>

#include "common/fatal.h"
#include "common/ffmpeg.h"
#include "common/host_memory.h"

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
  return allocate_host_memory(bytes);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    free_host_memory(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { free_host_memory(data_); }

Result<ByteBuffer> ByteBuffer::with_capacity(std::size_t capacity) {
  ByteBuffer buffer;
  if (capacity == 0) {
    return buffer;
  }
  auto data = allocate_response_memory(capacity);
  if (!data) {
    return fail(std::move(data.error()));
  }
  buffer.data_ = static_cast<std::uint8_t*>(*data);
  buffer.capacity_ = capacity;
  return buffer;
}

Result<ByteBuffer> ByteBuffer::copy_of(const std::uint8_t* source, std::size_t size) {
  auto allocated = with_capacity(size);
  if (!allocated) {
    return allocated;
  }
  ByteBuffer buffer = std::move(*allocated);
  static_assert(AV_INPUT_BUFFER_PADDING_SIZE <= HOST_MEMORY_SLACK);
  if (size != 0) {
    std::memcpy(buffer.data_, source, size);
    std::memset(buffer.data_ + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
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

std::uint8_t* ByteBuffer::release() noexcept {
  size_ = 0;
  capacity_ = 0;
  return std::exchange(data_, nullptr);
}

}  // namespace vantle
