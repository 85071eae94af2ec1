// Registration of the benchmark rows, one function per kind of row; main
// calls them once per thread pass, in the order the table shows them.
#pragma once

namespace vantle::bench {

void register_indexed_decode_rows(int threads);
void register_decode_export_rows(int threads);
void register_transcode_rows(int threads);
void register_pool_rows(int threads);
void register_peak_memory_rows(int threads);

}  // namespace vantle::bench
