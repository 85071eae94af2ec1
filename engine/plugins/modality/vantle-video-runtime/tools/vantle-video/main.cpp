// vantle-video: the library's command-line tool. It reads container files
// with libavformat and calls the library only through its public C header,
// exactly as a host would.
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "commands.h"
#include "vantle_video_runtime.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using vantle::tool::Command;

const Command* const kCommands[] = {
    &vantle::tool::kInfo,      &vantle::tool::kDecode, &vantle::tool::kIndexed,
    &vantle::tool::kTranscode, &vantle::tool::kBench,
};

void print_usage(std::FILE* out) {
  std::fputs(
      "usage: vantle-video COMMAND [FILE] [OPTIONS]\n\n"
      "Decodes, inspects and re-encodes the first video stream (H.264, H.265, AV1, VP9 or\n"
      "VP8) of a container file (MP4/MOV, MKV/WebM, MXF, raw .264/.265, IVF, raw OBU) with the\n"
      "Vantle video runtime. Without FILE, a built-in example clip is used.\n\n"
      "vantle-video --version prints the library's version and its FFmpeg versions.\n\n"
      "commands:\n",
      out);
  for (const Command* command : kCommands) {
    std::fprintf(out, "  %-10s %s\n", command->spec.name, command->spec.synopsis);
  }
  std::fputs("\nvantle-video COMMAND --help describes each command's options.\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  // Encoders announce themselves and print statistics at the info level; the
  // tool's output is its own lines. (The library's first call sets the same.)
  av_log_set_level(AV_LOG_WARNING);
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    print_usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::puts(vantle_video_runtime_version());
    return 0;
  }
  for (const Command* command : kCommands) {
    if (std::strcmp(argv[1], command->spec.name) != 0) {
      continue;
    }
    auto options =
        vantle::tool::parse_options(command->spec, std::span<char* const>(argv + 2, argv + argc));
    if (!options) {
      std::fprintf(stderr, "vantle-video %s: %s\n", command->spec.name, options.error().c_str());
      return 2;
    }
    if (options->has("--help")) {
      std::fputs(vantle::tool::help_text(command->spec).c_str(), stdout);
      return 0;
    }
    return command->run(*options);
  }
  std::fprintf(stderr, "vantle-video: unknown command '%s'\n\n", argv[1]);
  print_usage(stderr);
  return 2;
}
