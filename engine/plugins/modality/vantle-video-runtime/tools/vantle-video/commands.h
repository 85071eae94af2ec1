// The subcommands: each one's option table and its body. A body returns the
// process exit status and prints its own errors.
#pragma once

#include "options.h"

namespace vantle::tool {

struct Command {
  const CommandSpec& spec;
  int (*run)(const ParsedOptions& options);
};

extern const CommandSpec kInfoSpec;
extern const CommandSpec kDecodeSpec;
extern const CommandSpec kIndexedSpec;
extern const CommandSpec kTranscodeSpec;
extern const CommandSpec kBenchSpec;

int run_info(const ParsedOptions& options);
int run_decode(const ParsedOptions& options);
int run_indexed(const ParsedOptions& options);
int run_transcode(const ParsedOptions& options);
int run_bench(const ParsedOptions& options);

}  // namespace vantle::tool
