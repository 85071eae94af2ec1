// Process-wide FFmpeg set-up and the codec thread count from the environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantle {

inline constexpr const char* THREAD_COUNT_VARIABLE = "VANTLE_VIDEO_FFMPEG_THREADS";

// Runs the one-time set-up (log level AV_LOG_WARNING) exactly once per
// process; concurrent callers wait until it is done.
void ensure_ffmpeg_initialized() noexcept;

// VANTLE_VIDEO_FFMPEG_THREADS read anew on every call: the parsed value
// (0 lets FFmpeg choose), or 1 when unset or not a valid number.
std::uint64_t ffmpeg_thread_count_from_env() noexcept;

// An optional "+" then one or more ASCII digits and nothing else, at most
// 2^64 - 1; nothing otherwise.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

}  // namespace vantle
