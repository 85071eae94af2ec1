// Resident memory the library keeps once the host has released its
// responses: after a burst of calls, after a 256 MiB indexed call, and when
// responses made on one thread are released on another. Each scenario runs
// in a fresh child process; the calls run on threads of the scenario's own.
#include <algorithm>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "bench_media.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "job_thread.h"
#include "library_calls.h"
#include "peak_memory.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

// Responses a burst holds at once, and calls per round elsewhere.
constexpr int BURST_CALLS = 4;
// The reference step's output: the whole group decoded, almost nothing
// handed out.
constexpr std::uint32_t TINY_WIDTH = 64;
constexpr std::uint32_t TINY_HEIGHT = 36;

std::int64_t response_bytes(const RuntimeDecodeResponse& response) {
  std::int64_t bytes = static_cast<std::int64_t>(response.frame_count * sizeof(RuntimeFrame));
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& frame = response.frames[i];
    bytes += static_cast<std::int64_t>(frame.rgb.len + frame.y.len + frame.u.len + frame.v.len);
  }
  return bytes;
}

std::int64_t response_bytes(const RuntimeIndexedResponse& response) {
  std::int64_t bytes = static_cast<std::int64_t>(response.frame_count * sizeof(RuntimeIndexedFrame));
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& frame = response.frames[i].frame;
    bytes += static_cast<std::int64_t>(frame.y.len + frame.u.len + frame.v.len);
  }
  return bytes;
}

// One decode call whose response the caller keeps; records the largest
// response seen.
class Responses {
 public:
  Status decode(const RuntimeDecodeRequest& request) {
    RuntimeDecodeResponse response{};
    if (vantle_video_runtime_decode(&request, &response) != 0) {
      return fail(str_cat("vantle_video_runtime_decode: ", library_last_error()));
    }
    largest_ = std::max(largest_, response_bytes(response));
    held_.push_back(response);
    return {};
  }
  Status decode_indexed(const RuntimeDecodeRequest& request) {
    RuntimeIndexedResponse response{};
    if (vantle_video_runtime_decode_indexed(&request, &response) != 0) {
      return fail(str_cat("vantle_video_runtime_decode_indexed: ", library_last_error()));
    }
    largest_ = std::max(largest_, response_bytes(response));
    held_indexed_.push_back(response);
    return {};
  }
  // Releases everything held, on the calling thread.
  void release() {
    for (RuntimeDecodeResponse& response : held_) {
      vantle_video_runtime_free_response(&response);
    }
    for (RuntimeIndexedResponse& response : held_indexed_) {
      vantle_video_runtime_free_indexed_response(&response);
    }
    held_.clear();
    held_indexed_.clear();
  }
  std::int64_t largest() const { return largest_; }
  ~Responses() { release(); }

 private:
  std::vector<RuntimeDecodeResponse> held_;
  std::vector<RuntimeIndexedResponse> held_indexed_;
  std::int64_t largest_ = 0;
};

// The steps of one scenario as the child reports them: the largest
// response, then resident and heap bytes at the start, after the reference
// step and after every step.
class StepLog {
 public:
  static constexpr std::size_t FIRST_STEP = 1;
  void step() {
    if (next_ + 1 < values_.size()) {
      values_[next_++] = trimmed_resident_bytes();
      values_[next_++] = heap_bytes_in_use();
    }
  }
  Result<ChildValues> finish(const Status& outcome, std::int64_t largest) {
    if (!outcome) {
      return fail(outcome.error());
    }
    values_[0] = largest;
    return values_;
  }

 private:
  ChildValues values_{};
  std::size_t next_ = FIRST_STEP;
};

// Runs `job` on `thread`; the first failure sticks.
void run_on(JobThread& thread, Status& outcome, const std::function<Status()>& job) {
  if (outcome) {
    thread.run([&] { outcome = job(); });
  }
}

Status repeat(int count, const std::function<Status()>& call) {
  for (int i = 0; i < count; ++i) {
    if (Status done = call(); !done) {
      return done;
    }
  }
  return {};
}

// The reference step: one call with a tiny output, so that the calling
// thread's decoder and scaler are in place and nearly nothing is handed out.
Status tiny_call(const PacketRun& run, std::size_t packets) {
  RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Rgb, TINY_WIDTH, TINY_HEIGHT);
  request.packet_count = std::min(packets, request.packet_count);
  Responses responses;
  return responses.decode(request);
}

struct Scenario {
  const char* tag;
  const char* name;
  const char* rule;
  // Step texts, in the order the child reports them.
  std::vector<const char*> steps;
  // Per step, what may be kept given the largest response: the bound.
  std::function<std::int64_t(std::size_t step, std::int64_t largest)> bound;
  // The clip it needs made before the fork.
  std::function<const PacketRun&()> run;
  std::function<Result<ChildValues>(const PacketRun&)> work;
};

Result<ChildValues> burst(const PacketRun& run) {
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Rgb);
  StepLog log;
  Status outcome;
  Responses responses;
  log.step();
  JobThread caller;
  run_on(caller, outcome, [&] { return tiny_call(run, run.packets.size()); });
  log.step();
  run_on(caller, outcome,
         [&] { return repeat(BURST_CALLS, [&] { return responses.decode(request); }); });
  log.step();
  run_on(caller, outcome, [&] {
    responses.release();
    return Status{};
  });
  log.step();
  run_on(caller, outcome, [&] {
    return repeat(BURST_CALLS, [&] {
      Status decoded = responses.decode(request);
      responses.release();
      return decoded;
    });
  });
  log.step();
  caller.stop();
  log.step();
  return log.finish(outcome, responses.largest());
}

Result<ChildValues> indexed_256_mib(const PacketRun& run) {
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Yuv420);
  StepLog log;
  Status outcome;
  Responses responses;
  log.step();
  JobThread caller;
  run_on(caller, outcome, [&] { return tiny_call(run, GROUP_PICTURES); });
  log.step();
  run_on(caller, outcome, [&] { return responses.decode_indexed(request); });
  log.step();
  run_on(caller, outcome, [&] {
    responses.release();
    return Status{};
  });
  log.step();
  run_on(caller, outcome,
         [&] { return repeat(BURST_CALLS, [&] { return tiny_call(run, GROUP_PICTURES); }); });
  log.step();
  caller.stop();
  log.step();
  return log.finish(outcome, responses.largest());
}

Result<ChildValues> other_thread(const PacketRun& run) {
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Rgb);
  StepLog log;
  Status outcome;
  Responses responses;
  log.step();
  JobThread maker;
  JobThread releaser;
  run_on(maker, outcome, [&] { return tiny_call(run, run.packets.size()); });
  log.step();
  for (int round = 0; round < 3; ++round) {
    run_on(maker, outcome,
           [&] { return repeat(BURST_CALLS, [&] { return responses.decode(request); }); });
    run_on(releaser, outcome, [&] {
      responses.release();
      return Status{};
    });
    log.step();
  }
  run_on(maker, outcome, [&] {
    return repeat(BURST_CALLS, [&] {
      Status decoded = responses.decode(request);
      responses.release();
      return decoded;
    });
  });
  log.step();
  maker.stop();
  log.step();
  releaser.stop();
  log.step();
  return log.finish(outcome, responses.largest());
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"Burst", "4 RGB calls of a 12-picture H.264 1920x1080 group",
       "after its releases a thread keeps at most the largest response of its last 4 calls",
       {"4 responses held", "all 4 released", "4 more calls, each released at once",
        "the calling thread exited"},
       [](std::size_t step, std::int64_t largest) -> std::int64_t {
         return step == 0 ? -1 : step == 3 ? 0 : largest;
       },
       []() -> const PacketRun& { return clip_group(Clip::H264_1080p); }, burst},
      {"Indexed256MiB", "one indexed call, H.264 1920x1080, 86 pictures (256 MiB)",
       "at most the largest response of the last 4 calls (under the cap); the 4 small calls\n"
       "  after it bring that down to theirs",
       {"the 256 MiB response held", "released", "4 calls with a tiny output, each released",
        "the calling thread exited"},
       [](std::size_t step, std::int64_t largest) -> std::int64_t {
         return step == 0 ? -1 : step == 1 ? largest : 0;
       },
       []() -> const PacketRun& { return memory_run(); }, indexed_256_mib},
      {"OtherThread", "RGB responses of H.264 1920x1080 made on thread A, released on B",
       "B makes no calls and keeps nothing; A keeps at most its largest response",
       {"round 1: 4 made on A, released on B", "round 2: 4 made on A, released on B",
        "round 3: 4 made on A, released on B", "then 4 on A, each released on A", "A exited",
        "B exited"},
       [](std::size_t step, std::int64_t largest) -> std::int64_t {
         return step < 4 ? largest : 0;
       },
       []() -> const PacketRun& { return clip_group(Clip::H264_1080p); }, other_thread},
  };
  return all;
}

void measure_resident(const Scenario& scenario, ResidentRow& row, double& seconds) {
  // Encoded on a thread of its own, so that the encoder's heap stays out of
  // the main thread's arena, which the child starts from.
  const PacketRun* made = nullptr;
  std::thread([&] { made = &scenario.run(); }).join();
  if (!made->error.empty()) {
    (made->encoder_missing ? row.skipped : row.failed) = made->error;
    return;
  }
  const PacketRun& run = *made;
  auto child = measure_peak_in_child([&] { return scenario.work(run); });
  if (!child) {
    row.failed = child.error();
    return;
  }
  seconds = child->seconds;
  const ChildValues& values = child->values;
  const std::int64_t largest = values[0];
  auto figure = [&](std::size_t step, std::size_t which) {
    return values[StepLog::FIRST_STEP + 2 * step + which];
  };
  row.baseline = figure(0, 0);
  row.reference_heap = figure(1, 1);
  row.steps.push_back({"start", figure(0, 0), figure(0, 1), -1});
  row.steps.push_back(
      {"reference: one call with a 64x36 output, released", figure(1, 0), figure(1, 1), -1});
  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    row.steps.push_back(
        {scenario.steps[i], figure(i + 2, 0), figure(i + 2, 1), scenario.bound(i, largest)});
  }
}

}  // namespace

void register_resident_memory_rows(int threads) {
  for (const Scenario& scenario : scenarios()) {
    const std::string name = str_cat("Resident/", scenario.tag, "/threads:", threads);
    register_case(name, [&scenario, threads](benchmark::State& state) {
      set_ffmpeg_threads(threads);
      ResidentRow row;
      row.name = scenario.name;
      row.threads = threads;
      row.rule = scenario.rule;
      double seconds = 0;
      for (auto _ : state) {
        measure_resident(scenario, row, seconds);
        state.SetIterationTime(seconds > 0 ? seconds : 1e-9);
      }
      if (!row.failed.empty() || !row.skipped.empty()) {
        state.SkipWithError(
            (row.failed.empty() ? "skipped: " + row.skipped : "FAILED: " + row.failed).c_str());
      }
      summary().add(std::move(row));
    });
  }
}

}  // namespace vantle::bench
