// The built-in example: a moving test pattern encoded in memory, so every
// subcommand works on a machine with no media at hand.
#pragma once

#include <string>

#include "clip.h"
#include "common/result.h"

namespace vantle::tool {

// Three seconds of 640x360 at 25 frames per second, H.264 with B-frames,
// three groups of 25 pictures, BT.709 limited range.
Result<Clip> make_builtin_clip();

}  // namespace vantle::tool
