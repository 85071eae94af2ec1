// Peak resident memory of one piece of work, measured in a child process of
// its own so that nothing of the rest of the run (pooled decoders, freed but
// resident heap) hides or adds to it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "common/result.h"

namespace vantle::bench {

// Up to 24 numbers the work reports back from the child.
using ChildValues = std::array<std::int64_t, 24>;

struct ChildPeak {
  // VmHWM after the work minus VmHWM just before it (after the peak was
  // reset to the current RSS), in bytes.
  std::int64_t growth = 0;
  // Wall seconds of the work.
  double seconds = 0;
  ChildValues values{};
};

// Forks, and in the child returns free heap pages to the system
// (malloc_trim), resets the peak RSS (/proc/self/clear_refs), runs `work`
// and reports. Refused when this process runs more than one thread: a child
// would inherit locks and decoders whose threads it does not have.
Result<ChildPeak> measure_peak_in_child(const std::function<Result<ChildValues>()>& work);

// Threads of this process, from /proc/self/status.
int process_thread_count();

// VmRSS of this process in bytes, after malloc_trim(0) has handed the C
// heap's free pages back, so that only memory in use counts; -1 when it
// cannot be read.
std::int64_t trimmed_resident_bytes();

// Bytes the C heap has handed out and not got back (mallinfo2: arena chunks
// in use plus mmap'd chunks), whichever thread's arena holds them.
std::int64_t heap_bytes_in_use();

}  // namespace vantle::bench
