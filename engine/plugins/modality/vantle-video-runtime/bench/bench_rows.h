// What the benchmark program measures, beside the media: the library's side
// of a row through the C interface, and the resident-memory figure.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "bench_media.h"
#include "ceiling.h"

namespace vantle::bench {

// One library call doing `job` on the whole group (a transcode re-encodes
// every picture); answers the pictures (access units) it returned, which it
// frees at once.
std::expected<std::size_t, std::string> library_call(const Group& group, const ceiling::Job& job);

// The child's side of the resident-memory figure: `host_threads` threads
// each decode 1080p RGB groups and release the responses, then stay idle.
// Prints one line of figures; answers the exit status.
int resident_child(int host_threads);

// Runs the child for 1, 2 and 8 host threads and prints their table.
void print_resident_table(const char* program, int codec_threads);

}  // namespace vantle::bench
