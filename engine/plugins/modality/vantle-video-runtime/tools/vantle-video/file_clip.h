// A clip read from a file: the first video stream of a container, read with
// libavformat (media/container_reader.h), as codec, extradata and access
// units cut into groups at key frames.
#pragma once

#include <string>

#include "clip.h"
#include "common/result.h"

namespace vantle::tool {

// Any container libavformat opens: MP4/MOV, MKV/WebM, MXF, raw Annex B
// H.264/H.265, IVF and raw OBU AV1; VP9 and VP8 in WebM/MKV and IVF, VP9 in
// MP4. Packets stay as the demuxer gives them (VP9 superframes whole). Fails
// with a message naming the file for a missing or unreadable file, a file
// without video, and a codec the library does not decode.
Result<Clip> read_file_clip(const std::string& path);

}  // namespace vantle::tool
