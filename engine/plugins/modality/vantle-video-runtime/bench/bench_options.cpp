#include "bench_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace vantle::bench {

namespace {

BenchOptions OPTIONS;

[[noreturn]] void usage(int status) {
  std::fprintf(status == 0 ? stdout : stderr,
               "usage: vantle_video_runtime_bench [options] [Google Benchmark flags]\n"
               "  --quick                 a short smoke run: few rounds per row, 30 pool calls\n"
               "  --vantle_seconds=S      measuring time per row (default 2)\n"
               "  --vantle_min_rounds=N   least rounds (one call per side) per row (default 5)\n"
               "  --vantle_max_rounds=N   most rounds per row (default 400)\n"
               "  --vantle_pool_calls=N   calls per side in the pool rows (default 200)\n"
               "  --vantle_threads=1,2    VANTLE_VIDEO_FFMPEG_THREADS of each pass (default 1,2)\n"
               "  --benchmark_filter=RE   only the rows whose name matches. Names:\n"
               "                          Decode/{RGB,RGB_640x360,YUV420,Indexed}/CLIP/threads:N\n"
               "                          Transcode/CLIP/threads:N, PoolBenefit/..., PeakMemory/...,\n"
               "                          Resident/{Burst,Indexed256MiB,OtherThread}/threads:N;\n"
               "                          CLIP = {H264,H265,AV1}_{360p,720p,1080p}. Example:\n"
               "                          'Decode/(RGB|YUV420)/H26[45]_1080p'\n"
               "  --benchmark_out=FILE --benchmark_out_format=json\n"
               "                          Google Benchmark's figures as JSON in a file (stdout\n"
               "                          carries the summary tables after the table)\n");
  std::exit(status);
}

double positive_number(std::string_view flag, const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0)) {
    std::fprintf(stderr, "%.*s wants a positive number, got '%s'\n", static_cast<int>(flag.size()),
                 flag.data(), text);
    usage(2);
  }
  return value;
}

int positive_count(std::string_view flag, const char* text) {
  const double value = positive_number(flag, text);
  if (value != static_cast<double>(static_cast<int>(value))) {
    std::fprintf(stderr, "%.*s wants a whole number, got '%s'\n", static_cast<int>(flag.size()),
                 flag.data(), text);
    usage(2);
  }
  return static_cast<int>(value);
}

std::vector<int> thread_list(const char* text) {
  std::vector<int> counts;
  std::string item;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      counts.push_back(positive_count("--vantle_threads", item.c_str()));
      item.clear();
      if (*c == '\0') {
        break;
      }
    } else {
      item += *c;
    }
  }
  return counts;
}

// The value of "--name=value" when `argument` is that flag, else null.
const char* flag_value(const char* argument, std::string_view name) {
  const std::string_view text = argument;
  if (text.size() > name.size() + 1 && text.substr(0, name.size()) == name &&
      text[name.size()] == '=') {
    return argument + name.size() + 1;
  }
  return nullptr;
}

}  // namespace

void parse_bench_options(int& argc, char** argv) {
  BenchOptions options;
  bool seconds_given = false;
  bool min_rounds_given = false;
  bool max_rounds_given = false;
  bool pool_calls_given = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    const char* value = nullptr;
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      usage(0);
    } else if (std::strcmp(argument, "--quick") == 0) {
      options.quick = true;
    } else if ((value = flag_value(argument, "--vantle_seconds")) != nullptr) {
      options.seconds_per_row = positive_number("--vantle_seconds", value);
      seconds_given = true;
    } else if ((value = flag_value(argument, "--vantle_min_rounds")) != nullptr) {
      options.min_rounds = positive_count("--vantle_min_rounds", value);
      min_rounds_given = true;
    } else if ((value = flag_value(argument, "--vantle_max_rounds")) != nullptr) {
      options.max_rounds = positive_count("--vantle_max_rounds", value);
      max_rounds_given = true;
    } else if ((value = flag_value(argument, "--vantle_pool_calls")) != nullptr) {
      options.pool_calls = positive_count("--vantle_pool_calls", value);
      pool_calls_given = true;
    } else if ((value = flag_value(argument, "--vantle_threads")) != nullptr) {
      options.thread_passes = thread_list(value);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  // --quick shortens whatever was not set explicitly.
  if (options.quick) {
    if (!seconds_given) {
      options.seconds_per_row = 0.2;
    }
    if (!min_rounds_given) {
      options.min_rounds = 3;
    }
    if (!max_rounds_given) {
      options.max_rounds = 20;
    }
    if (!pool_calls_given) {
      options.pool_calls = 30;
    }
  }
  if (options.max_rounds < options.min_rounds) {
    options.max_rounds = options.min_rounds;
  }
  OPTIONS = options;
}

const BenchOptions& bench_options() {
  return OPTIONS;
}

}  // namespace vantle::bench
