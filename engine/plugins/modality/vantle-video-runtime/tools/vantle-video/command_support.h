// What the subcommands share: the clip they work on (a file or the built-in
// example), the group they pick, the codec thread count, and error output.
#pragma once

#include <cstddef>
#include <string>

#include "clip.h"
#include "common/result.h"
#include "options.h"

namespace vantle::tool {

// Option rows that several subcommands accept.
inline constexpr OptionSpec kThreadsOption{
    "--threads", nullptr, ValueKind::Required, "N",
    "FFmpeg codec threads: sets VANTLE_VIDEO_FFMPEG_THREADS (default: the variable, else 1; "
    "0 lets FFmpeg choose)"};
inline constexpr OptionSpec kGroupOption{"--group", nullptr, ValueKind::Required, "N",
                                         "group of pictures N, counted from 0 (default 0)"};
inline constexpr OptionSpec kHelpOption{"--help", "-h", ValueKind::None, "", "show this help"};

// The clip named by the one positional argument, or the built-in example
// when there is none. Also applies --threads.
Result<Clip> load_clip(const ParsedOptions& options);

// --group N (default 0), checked against the clip's groups.
Result<std::size_t> chosen_group(const ParsedOptions& options, const Clip& clip);

// The clip and the one group of it that a subcommand works on.
struct ClipGroup {
  Clip clip;
  std::size_t index = 0;
  const Group& group() const { return clip.groups[index]; }
};

// load_clip, then chosen_group: the first failure's message.
Result<ClipGroup> load_group(const ParsedOptions& options);

// Prints "vantle-video NAME: message" on standard error; answers 1.
int report_error(const char* command, const std::string& message);

}  // namespace vantle::tool
