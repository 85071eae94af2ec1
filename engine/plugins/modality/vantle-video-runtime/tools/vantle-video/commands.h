// The subcommands: each one's option table and body, in its own file.
#pragma once

#include "command_support.h"

namespace vantle::tool {

extern const Command kInfo;
extern const Command kDecode;
extern const Command kIndexed;
extern const Command kTranscode;
extern const Command kBench;

}  // namespace vantle::tool
