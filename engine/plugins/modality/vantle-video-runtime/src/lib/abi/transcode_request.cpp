#include "abi/transcode_request.h"

#include <utility>

#include "abi/export_frame.h"
#include "common/ffmpeg_setup.h"
#include "h264_encoder/gop_transcode.h"

namespace vantle {

namespace {

// The encoder's buffers become the response's: handed over, not copied.
Result<std::vector<RuntimeBytes>> transcode_request_records(
    const RuntimeTranscodeRequest& request) {
  auto access_units = transcode_to_h264(request);
  if (!access_units) {
    return fail(std::move(access_units.error()));
  }
  std::vector<RuntimeBytes> records;
  records.reserve(access_units->size());
  for (ByteBuffer& unit : *access_units) {
    records.push_back(RuntimeBytes::from_vec(std::move(unit)));
  }
  return records;
}

}  // namespace

Status run_transcode_request(const RuntimeTranscodeRequest* request,
                             RuntimeTranscodeResponse* response) {
  // FFmpeg is set up only once both pointers have passed, and before the
  // transcode touches it.
  return fill_response(request, response, transcode_request_records, ensure_ffmpeg_initialized);
}

}  // namespace vantle
