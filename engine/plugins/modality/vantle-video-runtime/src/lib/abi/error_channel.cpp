#include "abi/error_channel.h"

#include <utility>

namespace vantle {

namespace {
// Created empty on a thread's first use, destroyed when the thread exits.
thread_local std::string LAST_ERROR;
}  // namespace

void clear_last_error() noexcept {
  LAST_ERROR.clear();
}

void store_last_error(std::string message) noexcept {
  LAST_ERROR = std::move(message);
}

RuntimeBytes view_last_error() noexcept {
  // data() of an empty std::string is a valid, non-null address.
  return RuntimeBytes{reinterpret_cast<uint8_t*>(LAST_ERROR.data()), LAST_ERROR.size()};
}

}  // namespace vantle
