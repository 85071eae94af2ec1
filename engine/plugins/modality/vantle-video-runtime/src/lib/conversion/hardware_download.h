// Brings a decoded picture into system memory, where the conversions and the
// encoder read it: a software frame stays as it is, a hardware frame is
// downloaded into a copy that carries the source's metadata.
#pragma once

#include "common/ffmpeg.h"
#include "common/result.h"

namespace vantle {

// Takes the decoded frame over and answers it in system memory: the frame
// itself when it is there already (nothing is copied), else its downloaded
// copy, the hardware frame being released as this returns.
Result<FrameHandle> in_system_memory(FrameHandle frame);

}  // namespace vantle
