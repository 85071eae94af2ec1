#include "runtime_calls.h"
#include "common/result.h"

namespace vantle::tool {

namespace {

std::string last_error_text() {
  const RuntimeBytes message = vantle_video_runtime_last_error();
  return std::string(reinterpret_cast<const char*>(message.data), message.len);
}

template <typename Owned, typename Request, typename Export>
Result<Owned> call(const Request& request, Export function) {
  Owned owned;
  if (function(&request, owned.out()) != 0) {
    return vantle::fail(last_error_text());
  }
  return owned;
}

}  // namespace

Result<DecodedFrames> decode(const RuntimeDecodeRequest& request,
                             const RuntimeDecodeOptions& options) {
  return call<DecodedFrames>(
      request, [&options](const RuntimeDecodeRequest* in, RuntimeDecodeResponse* out) {
        return vantle_video_runtime_decode_with_options(in, &options, out);
      });
}

Result<IndexedFrames> decode_indexed(const RuntimeDecodeRequest& request) {
  return call<IndexedFrames>(request, vantle_video_runtime_decode_indexed);
}

Result<AccessUnits> transcode_h264(const RuntimeTranscodeRequest& request) {
  return call<AccessUnits>(request, vantle_video_runtime_transcode_h264);
}

}  // namespace vantle::tool
