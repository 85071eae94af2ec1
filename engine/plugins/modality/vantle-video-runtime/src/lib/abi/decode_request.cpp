#include "abi/decode_request.h"

#include "abi/export_frame.h"

namespace vantle {

Status decode_runtime_request(const RuntimeDecodeRequest* request,
                              RuntimeDecodeResponse* response) {
  return fill_response(request, response, handle_runtime_request);
}

Result<std::vector<RuntimeFrame>> handle_runtime_request(const RuntimeDecodeRequest&) {
  return fail("decode is not built yet");
}

}  // namespace vantle
