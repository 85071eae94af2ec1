#include "abi/transcode_entry.h"

#include "abi/export_frame.h"

namespace vantle {

Status transcode_runtime_request(const RuntimeTranscodeRequest* request,
                                 RuntimeTranscodeResponse* response) {
  return fill_response(request, response, [](const RuntimeTranscodeRequest&)
                                              -> Result<std::vector<RuntimeBytes>> {
    return fail("transcode is not built yet");
  });
}

}  // namespace vantle
