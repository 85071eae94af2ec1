#include "runtime_calls.h"

namespace vantle::tool {

namespace {

std::string last_error_text() {
  const RuntimeBytes message = vantle_video_runtime_last_error();
  return std::string(reinterpret_cast<const char*>(message.data), message.len);
}

template <typename Owned, typename Request, typename Export>
std::expected<Owned, std::string> call(const Request& request, Export function) {
  Owned owned;
  if (function(&request, owned.out()) != 0) {
    return std::unexpected(last_error_text());
  }
  return owned;
}

}  // namespace

std::expected<DecodedFrames, std::string> decode(const RuntimeDecodeRequest& request) {
  return call<DecodedFrames>(request, vantle_video_runtime_decode);
}

std::expected<IndexedFrames, std::string> decode_indexed(const RuntimeDecodeRequest& request) {
  return call<IndexedFrames>(request, vantle_video_runtime_decode_indexed);
}

std::expected<AccessUnits, std::string> transcode_h264(const RuntimeTranscodeRequest& request) {
  return call<AccessUnits>(request, vantle_video_runtime_transcode_h264);
}

}  // namespace vantle::tool
