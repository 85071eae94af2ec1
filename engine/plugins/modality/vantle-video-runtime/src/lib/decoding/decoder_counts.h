// How many decoders FFmpeg has opened, for tests that check that pools reuse
// and free them. Only the test library has it (decoder_counts.cpp): its
// programs call avcodec_open2 and avcodec_free_context through it (the
// linker's --wrap, set in CMakeLists.txt), so the shipped library counts
// nothing.
#pragma once

#include <cstddef>

namespace vantle {

// Decoders opened on the calling thread so far.
std::size_t decoders_opened_on_thread() noexcept;

// Opened decoders the process has not freed yet, pooled or in use.
std::size_t live_decoders() noexcept;

}  // namespace vantle
