// Process-ending failures: broken invariants and exhausted memory.
#pragma once

namespace vantle {

// Writes the reason to stderr and aborts. Never returns, never unwinds.
[[noreturn]] void fatal(const char* reason) noexcept;

}  // namespace vantle
