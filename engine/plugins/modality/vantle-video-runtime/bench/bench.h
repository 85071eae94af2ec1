// The benchmark behind `vantle-video bench` (doc/benchmarks.md says what it
// measures and how).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "media/ffmpeg_handles.h"
#include "vantle_video_runtime.h"

namespace vantle::bench {

enum class Work {
  Rgb,        // RGB24 at width x height (0: the picture's own size), packed rows
  Rgb48,      // RGB48LE as Rgb, through the scaler set up as the ffmpeg command line's
  Yuv420,     // the Y, U and V planes, one buffer each
  Indexed,    // Yuv420 with every packet's index sent as its pts and read back
  Transcode,  // every picture re-encoded as one H.264 group (25/1, no B-frames)
};

struct Job {
  Work work = Work::Rgb;
  int width = 0, height = 0;
  std::uint32_t rotation = 0;  // the clockwise turn asked of the library (decode with options)
};

// A stream cut into groups of pictures, held in memory as a host holds it.
struct Source {
  RuntimeCodec codec = RuntimeCodec::H264;
  int bits = 8;  // per sample
  std::vector<std::uint8_t> extradata;
  std::vector<std::vector<RuntimePacket>> groups;
  std::vector<std::vector<std::uint8_t>> bytes;  // what the packets point into
  std::string error;                             // empty when usable
};

inline constexpr int GROUP_PICTURES = 12;

// `groups` groups of a moving, noisy pattern at height * 16 / 9 x height,
// 4:2:0 at `bits` per sample, parameter sets in-band; B-frames as the
// encoder's preset has them.
Source make_source(RuntimeCodec codec, int height, int groups = 1, bool b_frames = true,
                   int bits = 8);

// One library call doing `job` on a group, released at once; answers how many
// pictures (access units for a transcode) it returned.
Result<std::size_t> library_call(const Source& source, std::size_t group, const Job& job);

// The bare loop, as a host writes it for a long run: one decoder flushed
// before each group, one scaler while the pictures' shape stays, output
// buffers recycled (with `keep_buffers` false, each freed at once).
class Ceiling {
 public:
  static Result<Ceiling> open(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                              int threads, bool keep_buffers = true);
  // Does `job` on every picture of one group, answering as library_call() does.
  Result<std::size_t> run(std::span<const RuntimePacket> group, const Job& job);

 private:
  std::uint8_t* buffer(std::size_t size);
  Status take(AVFrame& picture, const Job& job);
  Status encode(AVFrame* picture, std::size_t group_size);

  CodecContextHandle decoder_, encoder_;
  PacketHandle packet_{av_packet_alloc()}, encoded_{av_packet_alloc()};
  FrameHandle frame_{av_frame_alloc()};
  SwsContextHandle scaler_;
  std::vector<int> scaler_shape_;
  std::vector<std::pair<std::unique_ptr<std::uint8_t[]>, std::size_t>> buffers_;  // (bytes, size)
  std::size_t next_buffer_ = 0;
  std::vector<std::int64_t> packet_indices_;
  std::int64_t next_pts_ = 0;
  int threads_ = 1;
  bool keep_buffers_ = true;
};

// Wall and process CPU seconds, and minor page faults of the process.
struct Elapsed {
  double wall = 0, cpu = 0;
  long faults = 0;
};
// Since `start`; with no start, a point to measure from.
Elapsed since(const Elapsed& start = {});

// The q-quantile (0.5: the median) of `values`, interpolated; 0 when empty.
double quantile(std::vector<double> values, double q);

// A row whose round ratios spread so far (p75 / p25 above this) is noisy.
inline constexpr double NOISY_SPREAD = 1.10;

enum class Mode {
  Host,   // the sides' calls alternate, the host demuxing into a fresh buffer before each
  Quiet,  // each side's calls back to back (at least 4), nothing in between
};

struct Row {
  std::string name;
  const Source* source;
  Job job;
  std::size_t steps = 1;   // calls per side in a host-mode round
  bool fresh = false;      // the bare loop opens a decoder for every call
  bool scattered = false;  // step i decodes a group picked across the source
  bool slow = false;       // host mode only, at most 3 rounds (the transcodes)
  bool unturned = false;   // the other side is the library with the job's rotation 0
  double target = 0.95;    // lowest host-mode ratio that passes
};

struct SideFigures {  // medians over rounds: units per second and per CPU second
  double rate = 0, cpu_rate = 0, faults_per_unit = 0;
};

struct RowFigures {
  SideFigures library, ceiling;
  // Medians over rounds of ceiling time / library time, wall and CPU.
  double ratio = 0, ratio_p25 = 0, ratio_p75 = 0, cpu_ratio = 0;
  bool noisy = false;
  std::size_t units = 0;  // per round and side
};

// Rounds after an untimed one until `seconds` have passed and `min_rounds`
// are done, at most `max_rounds`.
Result<RowFigures> measure_row(const Row& row, int threads, Mode mode, double seconds,
                               int min_rounds, int max_rounds);

// The memory rows for each count of host threads, over `rounds` rounds.
void print_memory_rows(const std::vector<int>& host_threads, int rounds);

// One process of the memory rows: prints its figures; answers the exit status.
int memory_child(const std::string& spec);

}  // namespace vantle::bench
