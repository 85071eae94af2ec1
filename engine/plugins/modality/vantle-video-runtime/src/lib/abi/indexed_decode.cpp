#include "abi/indexed_decode.h"

#include "abi/export_frame.h"

namespace vantle {

Status decode_indexed_request(const RuntimeDecodeRequest* request,
                              RuntimeIndexedResponse* response) {
  return fill_response(request, response, decode_indexed_frames);
}

Result<std::vector<RuntimeIndexedFrame>> decode_indexed_frames(const RuntimeDecodeRequest&) {
  return fail("indexed decode is not built yet");
}

}  // namespace vantle
