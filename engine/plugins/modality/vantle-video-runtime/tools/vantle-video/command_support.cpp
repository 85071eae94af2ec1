#include "command_support.h"
#include "common/result.h"

#include <cstdio>
#include <cstdlib>

#include "builtin_clip.h"
#include "file_clip.h"

namespace vantle::tool {

Result<Clip> load_clip(const ParsedOptions& options) {
  if (auto threads = options.value("--threads")) {
    auto count = parse_unsigned("--threads", *threads);
    if (!count) {
      return vantle::fail(count.error());
    }
    // The library reads the variable at every decode and encoder open.
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", threads->c_str(), 1);
  }
  const auto& files = options.positional();
  if (files.size() > 1) {
    return vantle::fail("one FILE at most, got " + std::to_string(files.size()) + " ('" + files[1] +
                        "' ...)");
  }
  return files.empty() ? make_builtin_clip() : read_file_clip(files.front());
}

Result<std::size_t> chosen_group(const ParsedOptions& options, const Clip& clip) {
  const auto text = options.value("--group");
  if (!text) {
    return 0;
  }
  auto group = parse_unsigned("--group", *text);
  if (!group) {
    return vantle::fail(group.error());
  }
  if (*group >= clip.groups.size()) {
    return vantle::fail("--group " + *text + ": " + clip.source + " has " +
                        std::to_string(clip.groups.size()) + " groups (0 to " +
                        std::to_string(clip.groups.size() - 1) + ")");
  }
  return static_cast<std::size_t>(*group);
}

Result<ClipGroup> load_group(const ParsedOptions& options) {
  auto clip = load_clip(options);
  if (!clip) {
    return vantle::fail(clip.error());
  }
  auto index = chosen_group(options, *clip);
  if (!index) {
    return vantle::fail(index.error());
  }
  return ClipGroup{std::move(*clip), *index};
}

int report_error(const char* command, const std::string& message) {
  std::fprintf(stderr, "vantle-video %s: %s\n", command, message.c_str());
  return 1;
}

namespace {

template <typename Loaded>
Status call(Status (*body)(const ParsedOptions&, const Loaded&), const Result<Loaded>& loaded,
            const ParsedOptions& options) {
  if (!loaded) {
    return vantle::fail(loaded.error());
  }
  return body(options, *loaded);
}

}  // namespace

int Command::run(const ParsedOptions& options) const {
  if (const auto* own = std::get_if<OwnBody>(&body)) {
    return (*own)(options);
  }
  const Status done = std::holds_alternative<ClipBody>(body)
                          ? call(std::get<ClipBody>(body), load_clip(options), options)
                          : call(std::get<GroupBody>(body), load_group(options), options);
  return done ? 0 : report_error(spec.name, done.error());
}

}  // namespace vantle::tool
