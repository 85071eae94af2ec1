// Owned byte buffer on the host heap (host_memory.h): allocated once at its
// final size plus FFmpeg's slack, never zero-filled, handed to the host
// without copying.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte_view.h"
#include "common/result.h"

namespace vantle {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  // Uninitialised storage for `capacity` bytes (and the slack behind them),
  // size 0: a buffer of the running call's response
  // (allocate_response_memory), refused with a message over the response
  // limit or when the system has no memory for it.
  static Result<ByteBuffer> with_capacity(std::size_t capacity);
  // Exactly `size` bytes copied from `source`, followed by
  // AV_INPUT_BUFFER_PADDING_SIZE zero bytes, so the bytes can be handed to an
  // FFmpeg decoder as they are.
  static Result<ByteBuffer> copy_of(const std::uint8_t* source, std::size_t size);

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  ByteView bytes() const noexcept { return {data_, size_}; }

  // Marks the first `size` bytes as written; `size` must not exceed the
  // capacity.
  void set_size(std::size_t size) noexcept;
  // Gives up ownership of the storage; the caller frees it with
  // free_host_memory.
  std::uint8_t* release() noexcept;

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Non-null address that owns no storage, for empty buffers and arrays handed
// to the host. Never read, never freed.
void* empty_storage_address() noexcept;

// Allocates `count` elements of `element_size` bytes on the host heap,
// aborting on overflow or exhaustion. Returns the empty storage address for 0
// elements.
void* allocate_array(std::size_t count, std::size_t element_size) noexcept;

}  // namespace vantle
