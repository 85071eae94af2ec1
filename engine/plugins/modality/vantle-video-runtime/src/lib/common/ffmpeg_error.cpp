#include "common/ffmpeg_error.h"

#include <array>
#include <cstring>

#include "common/ffmpeg.h"

namespace vantle {

namespace {

bool is_ffmpeg_error_tag(int code) {
  static constexpr std::array TAGS = {
      AVERROR_BSF_NOT_FOUND,      AVERROR_BUG,
      AVERROR_BUFFER_TOO_SMALL,   AVERROR_DECODER_NOT_FOUND,
      AVERROR_DEMUXER_NOT_FOUND,  AVERROR_ENCODER_NOT_FOUND,
      AVERROR_EOF,                AVERROR_EXIT,
      AVERROR_EXTERNAL,           AVERROR_FILTER_NOT_FOUND,
      AVERROR_INVALIDDATA,        AVERROR_MUXER_NOT_FOUND,
      AVERROR_OPTION_NOT_FOUND,   AVERROR_PATCHWELCOME,
      AVERROR_PROTOCOL_NOT_FOUND, AVERROR_STREAM_NOT_FOUND,
      AVERROR_BUG2,               AVERROR_UNKNOWN,
      AVERROR_EXPERIMENTAL,       AVERROR_INPUT_CHANGED,
      AVERROR_OUTPUT_CHANGED,     AVERROR_HTTP_BAD_REQUEST,
      AVERROR_HTTP_UNAUTHORIZED,  AVERROR_HTTP_FORBIDDEN,
      AVERROR_HTTP_NOT_FOUND,
#ifdef AVERROR_HTTP_TOO_MANY_REQUESTS
      AVERROR_HTTP_TOO_MANY_REQUESTS,
#endif
      AVERROR_HTTP_OTHER_4XX,     AVERROR_HTTP_SERVER_ERROR,
  };
  for (int tag : TAGS) {
    if (tag == code) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ffmpeg_error_text(int code) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE * 4> buffer{};
  if (code < 0 && !is_ffmpeg_error_tag(code)) {
    // GNU strerror_r: returns the text, which may or may not live in buffer.
    return strerror_r(-code, buffer.data(), buffer.size());
  }
  av_strerror(code, buffer.data(), buffer.size());
  return buffer.data();
}

}  // namespace vantle
