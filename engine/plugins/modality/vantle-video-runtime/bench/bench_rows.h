// Registration of the benchmark rows, one function per kind of row; main
// calls them once per thread pass, in the order the table shows them.
#pragma once

namespace vantle::bench {

// Every decode mode on every clip.
void register_decode_rows(int threads);
void register_transcode_rows(int threads);
// Where the pool rows run: what a fresh decoder costs depends on how much
// freed memory the C heap still holds, which the rows before it change.
enum class PoolPlacement {
  // Before any other row: the heap of a process that has freed no large
  // buffers yet, so glibc returns freed memory to the system promptly.
  First,
  // After the other rows of its pass: glibc's thresholds have grown with the
  // large pictures freed before, and freed memory stays in the heap.
  AfterOtherRows,
};
void register_pool_rows(int threads, PoolPlacement placement);
void register_peak_memory_rows(int threads);
// What the library keeps resident after its responses are released.
void register_resident_memory_rows(int threads);

}  // namespace vantle::bench
