// Value-or-message results used by every internal operation.
#pragma once

#include <expected>
#include <string>

namespace vantle {

// The message texts are part of the contract: they travel up unchanged and
// the innermost one is what the host reads.
using Error = std::string;

template <typename T>
using Result = std::expected<T, Error>;

// Result of an operation that yields nothing but may fail.
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error message) { return std::unexpected<Error>(std::move(message)); }

}  // namespace vantle
