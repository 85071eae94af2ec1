// What the subcommands share: the clip they work on (a file or the built-in
// example), the group they pick, the codec thread count, their option tables,
// and the step that loads what a body takes, calls it and reports its failure.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <variant>

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

// The table of a subcommand that works on groups of the clip: --group, its
// own rows, then --threads and --help.
constexpr std::array<OptionSpec, 3> group_options() {
  return {kGroupOption, kThreadsOption, kHelpOption};
}
template <std::size_t N>
constexpr std::array<OptionSpec, N + 3> group_options(const OptionSpec (&own)[N]) {
  std::array<OptionSpec, N + 3> all{kGroupOption};
  std::copy(own, own + N, all.begin() + 1);
  all[N + 1] = kThreadsOption;
  all[N + 2] = kHelpOption;
  return all;
}

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

// A subcommand's body. One that takes the clip, or the clip and its chosen
// group, is called once they are loaded, and a failure it answers is reported
// as report_error does. One that takes only the options loads what it needs
// and answers the exit status itself.
using ClipBody = Status (*)(const ParsedOptions& options, const Clip& clip);
using GroupBody = Status (*)(const ParsedOptions& options, const ClipGroup& chosen);
using OwnBody = int (*)(const ParsedOptions& options);

struct Command {
  CommandSpec spec;
  std::variant<ClipBody, GroupBody, OwnBody> body;

  // Loads what the body takes and calls it; answers the exit status.
  int run(const ParsedOptions& options) const;
};

}  // namespace vantle::tool
