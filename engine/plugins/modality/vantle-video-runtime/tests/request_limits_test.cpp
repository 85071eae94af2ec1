// The bounds a host sets (picture area, response size) and calls that run
// out of memory, seen through the C interface: exact refusals, nothing left
// behind, and the same thread's next call served.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "common/host_guard.h"
#include "common/host_memory.h"
#include "common/kept_memory.h"
#include "common/request_limits.h"
#include "common/sanitizer.h"
#include "runtime/owned_response.h"
#include "support/last_error.h"
#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using runtime::AccessUnits;
using runtime::DecodedFrames;
using runtime::IndexedFrames;
using testing::encode_stream;
using testing::last_error;
using testing::RequestBuilder;
using testing::StreamSpec;

enum class Call { Rgb, Yuv, Yuv16, Indexed, Transcode };

// One request of the kind; every returned buffer, concatenated, in `bytes`,
// and what each picture (or access unit) holds mapped, its buffers with
// their slack, in `mapped`.
int32_t run_call(Call call, RequestBuilder& builder, std::vector<std::uint8_t>* bytes = nullptr,
                 std::vector<std::size_t>* mapped = nullptr) {
  auto append = [&](const RuntimeBytes& buffer) {
    if (bytes != nullptr && buffer.len != 0) {
      bytes->insert(bytes->end(), buffer.data, buffer.data + buffer.len);
    }
    if (mapped != nullptr && buffer.len != 0) {
      mapped->back() += buffer.len + HOST_MEMORY_SLACK;
    }
  };
  auto append_frame = [&](const RuntimeFrame& frame) {
    if (mapped != nullptr) {
      mapped->push_back(0);
    }
    for (const RuntimeBytes* plane : {&frame.rgb, &frame.y, &frame.u, &frame.v}) {
      append(*plane);
    }
  };
  int32_t status = -1;
  if (call == Call::Indexed) {
    IndexedFrames response;
    const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
    status = vantle_video_runtime_decode_indexed(&request, response.out());
    for (const RuntimeIndexedFrame& frame : response.items()) {
      append_frame(frame.frame);
    }
  } else if (call == Call::Transcode) {
    AccessUnits response;
    const RuntimeTranscodeRequest request = builder.transcode_request({0, 1, 2});
    status = vantle_video_runtime_transcode_h264(&request, response.out());
    for (const RuntimeBytes& unit : response.items()) {
      if (mapped != nullptr) {
        mapped->push_back(0);
      }
      append(unit);
    }
  } else {
    DecodedFrames response;
    const RuntimeDecodeRequest request =
        builder.request(call == Call::Rgb     ? RuntimePixelFormat::Rgb
                        : call == Call::Yuv16 ? RuntimePixelFormat::Yuv420P16
                                              : RuntimePixelFormat::Yuv420);
    status = vantle_video_runtime_decode(&request, response.out());
    for (const RuntimeFrame& frame : response.items()) {
      append_frame(frame);
    }
  }
  return status;
}

class RequestLimits : public ::testing::Test {
 protected:
  void TearDown() override {
    vantle_video_runtime_set_picture_area_limit(DEFAULT_PICTURE_AREA_LIMIT);
    vantle_video_runtime_set_response_limit(DEFAULT_RESPONSE_LIMIT);
    fail_host_mappings_for_testing(0);
    set_host_guard_for_testing(HostGuard::None);
  }
};

// A limit one pixel below the picture's area refuses the stream, before any
// decoding; a limit of exactly its area decodes it whole, also where FFmpeg
// counts the width rounded up to its stride alignment (100 -> 128).
TEST_F(RequestLimits, AreaLimitRefusesWhatEncodedStreamsDeclare) {
  struct Case {
    RuntimeCodec codec;
    bool global_header;
    int width;
    int height;
    const char* name;
  };
  const Case cases[] = {
      {RuntimeCodec::H264, false, 64, 48, "H.264"}, {RuntimeCodec::H264, true, 100, 50, "H.264"},
      {RuntimeCodec::H265, false, 64, 48, "H.265"}, {RuntimeCodec::H265, true, 100, 50, "H.265"},
      {RuntimeCodec::Av1, false, 100, 50, "AV1"},   {RuntimeCodec::Vp9, false, 100, 50, "VP9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " global " << c.global_header);
    StreamSpec spec;
    spec.codec = c.codec;
    spec.global_header = c.global_header;
    spec.width = c.width;
    spec.height = c.height;
    const auto stream = encode_stream(spec);
    if (stream.encoder_missing) {
      continue;
    }
    ASSERT_TRUE(stream.ok()) << stream.error;
    RequestBuilder builder(stream);
    const std::uint64_t area = static_cast<std::uint64_t>(c.width) * c.height;
    for (const Call call : {Call::Yuv, Call::Indexed}) {
      if (call == Call::Indexed && (c.codec == RuntimeCodec::Av1 || c.codec == RuntimeCodec::Vp9)) {
        continue;
      }
      vantle_video_runtime_set_picture_area_limit(area - 1);
      EXPECT_EQ(run_call(call, builder), -1);
      EXPECT_EQ(last_error(), std::string(c.name) + " stream declares a " +
                                  std::to_string(c.width) + "x" + std::to_string(c.height) +
                                  " picture (" + std::to_string(area) +
                                  " pixels), above the picture area limit of " +
                                  std::to_string(area - 1) + " pixels");
      vantle_video_runtime_set_picture_area_limit(area);
      std::vector<std::uint8_t> bytes;
      EXPECT_EQ(run_call(call, builder, &bytes), 0) << last_error();
      EXPECT_EQ(bytes.size(), std::size_t{8} * (area + 2 * (area / 4)));
    }
  }
}

// Header bytes that declare pictures far over the default bound, refused
// before any decoder sees them, and streams the fuzzer found slow.
TEST_F(RequestLimits, DefaultAreaLimitRefusesOversizedHeaders) {
  // VP9 key frame, profile 0: marker, profile, show_existing, frame type,
  // show_frame, error_resilient; sync code; colour space 1, limited range;
  // then width - 1 and height - 1 in 16 bits each (16384 x 16384).
  const std::vector<std::uint8_t> vp9{0x82, 0x49, 0x83, 0x42, 0x23, 0xff,
                                      0xf3, 0xff, 0xf0, 0x00, 0x00};
  // VP8 key frame tag, start code, 14-bit width and height (16383 x 8000).
  const std::vector<std::uint8_t> vp8{0x10, 0x02, 0x00, 0x9d, 0x01, 0x2a,
                                      0xff, 0x3f, 0x40, 0x1f, 0x00, 0x00};
  // AV1 sequence header OBU, reduced still picture: 16-bit dimensions,
  // 12000 x 9000.
  const std::vector<std::uint8_t> av1{0x0a, 0x07, 0x18, 0x3f, 0xcb, 0xb7, 0xc8, 0xc9, 0xc0};
  struct Case {
    RuntimeCodec codec;
    std::vector<std::uint8_t> packet;
    const char* message;
  };
  const Case cases[] = {
      {RuntimeCodec::Vp9, vp9, "VP9 stream declares a 16384x16384 picture (268435456 pixels)"},
      {RuntimeCodec::Vp8, vp8, "VP8 stream declares a 16383x8000 picture (131064000 pixels)"},
      {RuntimeCodec::Av1, av1, "AV1 stream declares a 12000x9000 picture (108000000 pixels)"},
  };
  for (const Case& c : cases) {
    RequestBuilder builder(c.codec, {}, {c.packet});
    EXPECT_EQ(run_call(Call::Yuv, builder), -1);
    EXPECT_EQ(last_error(),
              std::string(c.message) + ", above the picture area limit of 35389440 pixels");
  }
  // The fuzz campaign's slow inputs: H.264 parameter sets of 67 Mpx.
  const std::filesystem::path slow =
      std::filesystem::path(VANTLE_TEST_STREAMS_DIR) / "../../fuzz/slow/decode_indexed_fuzzer";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(slow)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
    // Header of 16 bytes, then chunks split at "FUZZ-TAG": extradata, packets.
    const std::string text(input.begin() + 16, input.end());
    std::vector<std::vector<std::uint8_t>> chunks(1);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t tag = std::min(text.find("FUZZ-TAG", at), text.size());
      chunks.back().assign(text.begin() + static_cast<std::ptrdiff_t>(at),
                           text.begin() + static_cast<std::ptrdiff_t>(tag));
      at = tag + 8;
      if (tag < text.size()) {
        chunks.emplace_back();
      }
    }
    std::vector<std::uint8_t> extradata = chunks.front();
    chunks.erase(chunks.begin());
    RequestBuilder builder(RuntimeCodec::H264, extradata, chunks);
    EXPECT_EQ(run_call(Call::Indexed, builder), -1) << entry.path();
    EXPECT_NE(last_error().find("above the picture area limit of 35389440 pixels"),
              std::string::npos)
        << entry.path() << ": " << last_error();
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

// Under the guard-page heap every response buffer is its own counted
// mapping: the call over the bound must map no buffer of the picture that
// crosses it (a YUV picture's Y plane fits where its V plane does not), and
// must leave nothing behind.
TEST_F(RequestLimits, ResponseLimitRefusesThePictureThatCrossesIt) {
  const auto stream = encode_stream(StreamSpec{});
  ASSERT_TRUE(stream.ok()) << stream.error;
  RequestBuilder builder(stream);
  set_host_guard_for_testing(HostGuard::After);
  for (const Call call : {Call::Rgb, Call::Yuv, Call::Yuv16, Call::Indexed, Call::Transcode}) {
    SCOPED_TRACE(static_cast<int>(call));
    std::vector<std::uint8_t> whole;
    std::vector<std::size_t> mapped;
    ASSERT_EQ(run_call(call, builder, &whole, &mapped), 0) << last_error();
    const std::uint64_t limit = whole.size() - 1;
    vantle_video_runtime_set_response_limit(limit);
    const std::size_t before = guarded_bytes_for_testing(true).live;
    EXPECT_EQ(run_call(call, builder), -1);
    EXPECT_EQ(last_error(), "response exceeds the response limit of " + std::to_string(limit) +
                                " bytes (" + std::to_string(whole.size()) + " bytes)");
    const GuardedBytes after = guarded_bytes_for_testing(true);
    EXPECT_EQ(after.live, before);
    // The last picture crosses the bound; the ones before it are all the
    // call may have held.
    EXPECT_LE(after.peak - before,
              std::accumulate(mapped.begin(), mapped.end() - 1, std::size_t{0}));
    // At exactly the call's size, and with no bound, the same call succeeds.
    for (const std::uint64_t bound : {limit + 1, std::uint64_t{0}}) {
      vantle_video_runtime_set_response_limit(bound);
      std::vector<std::uint8_t> again;
      EXPECT_EQ(run_call(call, builder, &again), 0) << last_error();
      EXPECT_EQ(again, whole);
    }
  }
}

// Mappings the system refuses fail the call, not the process, on every
// thread that meets them; the next call on the same thread is served.
TEST_F(RequestLimits, RefusedMappingsFailTheCallAndLeaveThePoolUsable) {
  const auto stream = encode_stream(StreamSpec{});
  ASSERT_TRUE(stream.ok()) << stream.error;
  StreamSpec large_spec;
  large_spec.width = 320;
  large_spec.height = 240;
  large_spec.frame_count = 3;
  const auto large = encode_stream(large_spec);
  ASSERT_TRUE(large.ok()) << large.error;
  struct Case {
    const testing::EncodedStream* stream;
    HostGuard guard;
    // Fresh mappings of at least this many bytes fail.
    std::size_t from;
  };
  // The guard maps every buffer; the shipped placement maps the large ones.
  const Case cases[] = {{&stream, HostGuard::After, 1}, {&large, HostGuard::None, HOST_MAPPED_MIN}};
  for (const Case& c : cases) {
    for (const Call call : {Call::Rgb, Call::Yuv, Call::Indexed, Call::Transcode}) {
      SCOPED_TRACE(::testing::Message() << static_cast<int>(call) << " from " << c.from);
      set_host_guard_for_testing(c.guard);
      RequestBuilder reference_builder(*c.stream);
      std::vector<std::uint8_t> reference;
      ASSERT_EQ(run_call(call, reference_builder, &reference), 0) << last_error();
      vantle_video_runtime_release_kept_memory();
      fail_host_mappings_for_testing(c.from);
      std::vector<std::thread> threads;
      for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
          RequestBuilder builder(*c.stream);
          if (call == Call::Transcode && c.guard == HostGuard::None) {
            return;  // access units of this size are never mapped alone
          }
          EXPECT_EQ(run_call(call, builder), -1);
          const std::string message = last_error();
          EXPECT_EQ(message.rfind("failed to allocate a response buffer of ", 0), 0u) << message;
          EXPECT_NE(message.find(" bytes: Cannot allocate memory"), std::string::npos) << message;
        });
      }
      for (std::thread& thread : threads) {
        thread.join();
      }
      // Nothing the failed calls took stays kept.
      EXPECT_EQ(kept_memory_bytes(), 0u);  // their threads' decoders went with them
      fail_host_mappings_for_testing(0);
      std::vector<std::uint8_t> again;
      EXPECT_EQ(run_call(call, reference_builder, &again), 0) << last_error();
      EXPECT_EQ(again, reference);
    }
  }
}

// A host under an address-space limit, as containers and job schedulers set
// one, asks for responses that cannot fit: each call fails with a message,
// and the same thread's next call, sized to fit, gives the right bytes. In a
// child process, since the limit cannot be lifted again; not under the
// sanitizers, whose shadow memory does not fit under such a limit.
TEST_F(RequestLimits, ResponsesOverAnAddressSpaceLimitFailWithoutEndingTheHost) {
#if defined(VANTLE_ADDRESS_SANITIZER) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers cannot run under an address-space limit";
#else
  StreamSpec huge_spec;
  huge_spec.width = 3840;
  huge_spec.height = 2160;
  huge_spec.frame_count = 16;
  huge_spec.content = testing::PictureContent::Flat;
  huge_spec.options = {{"preset", "ultrafast"}};
  const auto huge = encode_stream(huge_spec);
  ASSERT_TRUE(huge.ok()) << huge.error;
  const auto small = encode_stream(StreamSpec{});
  ASSERT_TRUE(small.ok()) << small.error;
  const Call calls[] = {Call::Rgb, Call::Yuv, Call::Indexed};
  std::vector<std::vector<std::uint8_t>> expected;
  for (const Call call : calls) {
    RequestBuilder builder(small);
    ASSERT_EQ(run_call(call, builder, &expected.emplace_back()), 0) << last_error();
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for the decoder, not for a whole response (16 pictures of 12 MB
    // YUV or 25 MB RGB).
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                        (rlim_t{160} << 20);
    const rlimit limit{room, room};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
      _exit(2);
    }
    int failures = 0;
    auto check = [&](bool ok, const char* what, Call call) {
      if (!ok) {
        std::fprintf(stderr, "call %d: %s: %s\n", static_cast<int>(call), what,
                     last_error().c_str());
        ++failures;
      }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t i = 0; i < std::size(calls); ++i) {
          const Call call = calls[(i + static_cast<std::size_t>(t)) % std::size(calls)];
          RequestBuilder huge_builder(huge);
          // The library's own refusal, or FFmpeg's when it found no memory.
          check(run_call(call, huge_builder) == -1 &&
                    last_error().find("Cannot allocate memory") != std::string::npos,
                "over the limit", call);
          RequestBuilder small_builder(small);
          std::vector<std::uint8_t> bytes;
          check(run_call(call, small_builder, &bytes) == 0, "sized to fit", call);
          check(bytes == expected[(i + static_cast<std::size_t>(t)) % std::size(calls)],
                "same bytes", call);
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
}  // namespace vantle
