// Whether the libdav1d that FFmpeg loaded survives reuse of a decoder with
// worker threads.
#pragma once

namespace vantle {

// libdav1d 1.0.0 (SONAME 6, Debian 12), flushed after the oss-fuzz
// multi-thread case of the test corpus and given the next stream, waits
// forever in dav1d_send_data or dav1d_get_picture; nothing FFmpeg reports
// tells such a run from a clean one. 1.5 (SONAME 7) decodes the same
// sequence. True only when the process has libdav1d.so.7 at version 1.5 or
// later loaded; read once.
bool libdav1d_survives_threaded_reuse() noexcept;

}  // namespace vantle
