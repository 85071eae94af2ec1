// Human-readable text for FFmpeg status codes, as the messages show them.
#pragma once

#include <string>

namespace vantle {

// FFmpeg's own description for its error tags (AVERROR_EOF, ...); for codes
// that wrap a system error number, the C library's text for that number.
// Never the bare number.
std::string ffmpeg_error_text(int code);

}  // namespace vantle
