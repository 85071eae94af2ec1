// The FFmpeg codec thread count of a pass: written to the variable the
// library reads at every call, and read back the same way by the bare loops.
#pragma once

namespace vantle::bench {

// Sets VANTLE_VIDEO_FFMPEG_THREADS for this process.
void set_ffmpeg_threads(int count);

// The count the variable gives, 1 when it is unset or not a plain decimal,
// as the library reads it.
int ffmpeg_threads();

}  // namespace vantle::bench
