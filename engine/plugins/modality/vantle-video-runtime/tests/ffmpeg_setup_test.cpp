// FFmpeg set-up, the thread-count variable, codec mapping, error texts and
// the version query.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/ffmpeg.h"
#include "common/ffmpeg_error.h"
#include "common/ffmpeg_setup.h"
#include "decoding/runtime_codec.h"
#include "media/ffmpeg_handles.h"
#include "runtime/codec_label.h"
#include "vantle_video_runtime.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/version.h>
#include <libswscale/version.h>
}

namespace vantle {
namespace {

class ThreadCountVariable : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }
};

TEST_F(ThreadCountVariable, ParsingTable) {
  struct Case {
    const char* value;  // nullptr: unset
    std::uint64_t expected;
  };
  const Case cases[] = {
      {nullptr, 1},
      {"8", 8},
      {"+8", 8},
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"4294967297", 4294967297ULL},
      {"18446744073709551616", 1},  // one above the maximum
      {" 8", 1},
      {"8 ", 1},
      {"-1", 1},
      {"", 1},
      {"+", 1},
      {"++8", 1},
      {"eight", 1},
      {"2.5", 1},
      {"0x10", 1},
      {"\xff\xfe", 1},  // not UTF-8
      {"\xd9\xa3", 1},  // a non-ASCII digit
  };
  for (const Case& c : cases) {
    if (c.value == nullptr) {
      unsetenv(THREAD_COUNT_VARIABLE);
    } else {
      setenv(THREAD_COUNT_VARIABLE, c.value, 1);
    }
    EXPECT_EQ(ffmpeg_thread_count_from_env(), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST_F(ThreadCountVariable, ReadAnewEveryCall) {
  setenv(THREAD_COUNT_VARIABLE, "3", 1);
  EXPECT_EQ(ffmpeg_thread_count_from_env(), 3u);
  setenv(THREAD_COUNT_VARIABLE, "5", 1);
  EXPECT_EQ(ffmpeg_thread_count_from_env(), 5u);
  unsetenv(THREAD_COUNT_VARIABLE);
  EXPECT_EQ(ffmpeg_thread_count_from_env(), 1u);
}

TEST(FfmpegSetup, SetsWarningLevelOnceForAllThreads) {
  av_log_set_level(AV_LOG_DEBUG);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] { ensure_ffmpeg_initialized(); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
  // Later calls never touch the level again.
  av_log_set_level(AV_LOG_ERROR);
  ensure_ffmpeg_initialized();
  EXPECT_EQ(av_log_get_level(), AV_LOG_ERROR);
}

// The programs around the library print the library's own names.
TEST(RuntimeCodecMapping, NamesAndIds) {
  // Values the header does not list stay H.265.
  const struct {
    std::uint32_t value;
    const char* name;
    AVCodecID id;
  } table[] = {{0, "H.264", AV_CODEC_ID_H264}, {1, "AV1", AV_CODEC_ID_AV1},
               {2, "H.265", AV_CODEC_ID_HEVC}, {3, "VP9", AV_CODEC_ID_VP9},
               {4, "VP8", AV_CODEC_ID_VP8},    {5, "H.265", AV_CODEC_ID_HEVC},
               {77, "H.265", AV_CODEC_ID_HEVC}};
  for (const auto& row : table) {
    EXPECT_EQ(name(static_cast<RuntimeCodec>(row.value)), row.name) << row.value;
    EXPECT_STREQ(runtime::codec_label(static_cast<RuntimeCodec>(row.value)), row.name) << row.value;
    EXPECT_EQ(ffmpeg_id(static_cast<RuntimeCodec>(row.value)), row.id) << row.value;
  }
}

TEST(FfmpegErrorText, TagsUseFfmpegTextSystemErrorsUseStrerror) {
  EXPECT_EQ(ffmpeg_error_text(AVERROR_EOF), "End of file");
  EXPECT_EQ(ffmpeg_error_text(AVERROR_INVALIDDATA), "Invalid data found when processing input");
  EXPECT_EQ(ffmpeg_error_text(AVERROR_INPUT_CHANGED), "Input changed");
  EXPECT_EQ(ffmpeg_error_text(AVERROR_DECODER_NOT_FOUND), "Decoder not found");
  EXPECT_EQ(ffmpeg_error_text(AVERROR(EAGAIN)), std::strerror(EAGAIN));
  EXPECT_EQ(ffmpeg_error_text(AVERROR(ENOMEM)), "Cannot allocate memory");
  EXPECT_EQ(ffmpeg_error_text(AVERROR(EINVAL)), "Invalid argument");
  // An errno the C library does not know still reads as the C library's text.
  EXPECT_EQ(ffmpeg_error_text(-4000), std::strerror(4000));
}

// The programs around the library word every code as the library does: its
// tags, system numbers known and unknown, and codes that are neither.
TEST(FfmpegErrorText, ProgramsAroundTheLibraryShowTheSameText) {
  std::vector<int> codes = {
      AVERROR_EOF,          AVERROR_INVALIDDATA,    AVERROR_BUG, AVERROR_INPUT_CHANGED,
      AVERROR_EXPERIMENTAL, AVERROR_HTTP_NOT_FOUND, -123456789,  123456789};
  for (int code = -5000; code <= 200; ++code) {
    codes.push_back(code);
  }
  for (const int code : codes) {
    EXPECT_EQ(media::ffmpeg_error_text(code), ffmpeg_error_text(code)) << code;
  }
}

std::string versions(const char* name, unsigned built, unsigned loaded) {
  auto triple = [](unsigned v) {
    return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
           std::to_string(AV_VERSION_MICRO(v));
  };
  return std::string(name) + " " + triple(built) + " built, " + triple(loaded) + " loaded";
}

TEST(VersionQuery, OneStaticTextOnEveryThreadThatLeavesTheLastErrorAlone) {
  const std::string ffmpeg = versions("libavcodec", LIBAVCODEC_VERSION_INT, avcodec_version()) +
                             "; " + versions("libavutil", LIBAVUTIL_VERSION_INT, avutil_version()) +
                             "; " +
                             versions("libswscale", LIBSWSCALE_VERSION_INT, swscale_version());
  ASSERT_EQ(vantle_video_runtime_decode(nullptr, nullptr), -1);
  const char* text = vantle_video_runtime_version();
  const std::string whole = text;
  const std::string prefix = "vantle-video-runtime ";
  const std::size_t open = whole.find(" (");
  ASSERT_TRUE(whole.starts_with(prefix) && open != std::string::npos) << whole;
  unsigned major = 0, minor = 0, patch = 0;
  char end = 0;
  EXPECT_EQ(std::sscanf(whole.substr(prefix.size(), open - prefix.size()).c_str(), "%u.%u.%u%c",
                        &major, &minor, &patch, &end),
            3)
      << whole;
  EXPECT_EQ(whole.substr(open), " (" + ffmpeg + ")");
  RuntimeBytes error = vantle_video_runtime_last_error();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(error.data), error.len),
            "FFmpeg runtime received null ABI pointer");
  std::vector<const char*> seen(8);
  std::vector<std::thread> threads;
  for (auto& address : seen) {
    threads.emplace_back([&address] { address = vantle_video_runtime_version(); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const char* address : seen) {
    EXPECT_EQ(address, text);
  }
}

}  // namespace
}  // namespace vantle
