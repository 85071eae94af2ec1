// Decoder creation and the per-thread pool of idle decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/ffmpeg_setup.h"
#include "common/kept_memory.h"
#include "decoding/decoder_counts.h"
#include "decoding/decoder_creation.h"
#include "decoding/decoder_pool.h"
#include "decoding/packet_decoder.h"
#include "decoding/parameter_sets.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

// An access unit delimiter: harmless extradata whose last byte tells keys apart.
std::vector<std::uint8_t> extradata_variant(std::uint8_t last) {
  return {0, 0, 0, 1, 0x09, last};
}

DecoderPoolKey key_with(std::vector<std::uint8_t> extradata, std::uint64_t threads = 1) {
  return DecoderPoolKey{RuntimeCodec::H264, std::move(extradata), threads, {}};
}

class DecoderPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ensure_ffmpeg_initialized();
    // Each test starts from an empty pool.
    vantle_video_runtime_release_kept_memory();
  }
  void TearDown() override { unsetenv(THREAD_COUNT_VARIABLE); }
};

TEST_F(DecoderPoolTest, KeysCompareFieldByField) {
  const DecoderPoolKey base = key_with(extradata_variant(0xf0));
  EXPECT_EQ(base, key_with(extradata_variant(0xf0)));
  EXPECT_NE(base, key_with(extradata_variant(0xf1)));     // one byte
  EXPECT_NE(base, key_with({0, 0, 0, 1, 0x09}));          // length
  EXPECT_NE(base, key_with(extradata_variant(0xf0), 2));  // thread count
  DecoderPoolKey hevc = base;
  hevc.codec = RuntimeCodec::H265;
  EXPECT_NE(base, hevc);
  EXPECT_LT(base, hevc);  // codec decides first

  // Copies are deep.
  DecoderPoolKey copy = base;
  copy.extradata[0] = 9;
  EXPECT_EQ(base.extradata[0], 0);
}

TEST_F(DecoderPoolTest, KeyReadsTheThreadCountWhenMade) {
  setenv(THREAD_COUNT_VARIABLE, "4294967297", 1);
  const std::uint8_t bytes[] = {1, 2, 3};
  const DecoderPoolKey key = DecoderPoolKey::for_decode(RuntimeCodec::Av1, bytes);
  EXPECT_EQ(key.thread_count, 4294967297ULL);  // whole in the key
  EXPECT_EQ(key.codec, RuntimeCodec::Av1);
  EXPECT_EQ(key.extradata, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(DecoderPoolTest, NewDecoderSettings) {
  auto decoder = take_or_create_decoder(key_with({}, 4294967297ULL));
  ASSERT_TRUE(decoder.has_value()) << decoder.error();
  AVCodecContext* context = decoder->get();
  EXPECT_EQ(context->thread_type, FF_THREAD_FRAME);
  EXPECT_EQ(context->thread_count, 1);  // low 32 bits
  EXPECT_EQ(context->extradata, nullptr);
  EXPECT_EQ(context->extradata_size, 0);
  EXPECT_EQ(context->codec_id, AV_CODEC_ID_H264);
}

TEST_F(DecoderPoolTest, ExtradataIsPaddedWithZeros) {
  CodecContextHandle context(avcodec_alloc_context3(nullptr));
  const std::vector<std::uint8_t> bytes = extradata_variant(0xf0);
  ASSERT_TRUE(set_decoder_extradata(context.get(), bytes).has_value());
  ASSERT_EQ(context->extradata_size, 6);
  EXPECT_EQ(std::memcmp(context->extradata, bytes.data(), 6), 0);
  for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i) {
    EXPECT_EQ(context->extradata[6 + i], 0) << i;
  }
}

TEST_F(DecoderPoolTest, EqualKeysReuseOneDecoder) {
  const std::size_t opened = decoders_opened_on_thread();
  const DecoderPoolKey key = key_with(extradata_variant(0xf0));
  auto first = take_or_create_decoder(key);
  ASSERT_TRUE(first.has_value());
  AVCodecContext* context = first->get();
  thread_decoder_pool().put(key, std::move(*first));
  EXPECT_EQ(thread_decoder_pool().size(), 1u);

  auto second = take_or_create_decoder(key);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->get(), context);
  EXPECT_EQ(thread_decoder_pool().size(), 0u);  // handed out while in use
  EXPECT_EQ(decoders_opened_on_thread(), opened + 1);

  // Different thread count: no match, a new decoder.
  auto other = take_or_create_decoder(key_with(extradata_variant(0xf0), 2));
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(other->get(), context);
  EXPECT_EQ(decoders_opened_on_thread(), opened + 2);
}

TEST_F(DecoderPoolTest, FiveKeysKeepFourAndEvictTheOldest) {
  const std::size_t live_before = live_decoders();
  std::vector<AVCodecContext*> contexts;
  for (std::uint8_t i = 0; i < 5; ++i) {
    const DecoderPoolKey key = key_with(extradata_variant(0xf0 + i));
    auto decoder = take_or_create_decoder(key);
    ASSERT_TRUE(decoder.has_value());
    contexts.push_back(decoder->get());
    thread_decoder_pool().put(key, std::move(*decoder));
  }
  ASSERT_EQ(thread_decoder_pool().size(), DECODER_POOL_CAPACITY);
  EXPECT_EQ(live_decoders(), live_before + 4);  // the first was released
  EXPECT_FALSE(thread_decoder_pool().take(key_with(extradata_variant(0xf0))).has_value());
  for (std::uint8_t i = 1; i < 5; ++i) {
    auto kept = thread_decoder_pool().take(key_with(extradata_variant(0xf0 + i)));
    ASSERT_TRUE(kept.has_value()) << int{i};
    EXPECT_EQ(kept->get(), contexts[i]);
  }
}

TEST_F(DecoderPoolTest, EqualKeysTakeTheLaterEntry) {
  const DecoderPoolKey key = key_with(extradata_variant(0xf0));
  auto older = take_or_create_decoder(key);
  auto newer = take_or_create_decoder(key_with(extradata_variant(0xf0), 1));
  ASSERT_TRUE(older && newer);
  AVCodecContext* newer_context = newer->get();
  thread_decoder_pool().put(key, std::move(*older));
  thread_decoder_pool().put(key, std::move(*newer));
  auto taken = thread_decoder_pool().take(key);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->get(), newer_context);
  EXPECT_EQ(thread_decoder_pool().size(), 1u);
}

TEST_F(DecoderPoolTest, ThreadExitFreesPooledDecoders) {
  const std::size_t live_before = live_decoders();
  std::thread([] {
    for (std::uint8_t i = 0; i < 3; ++i) {
      const DecoderPoolKey key = key_with(extradata_variant(0xf0 + i));
      auto decoder = take_or_create_decoder(key);
      ASSERT_TRUE(decoder.has_value());
      thread_decoder_pool().put(key, std::move(*decoder));
    }
    EXPECT_EQ(thread_decoder_pool().size(), 3u);
  }).join();
  EXPECT_EQ(live_decoders(), live_before);
  // Nothing was pooled on this thread.
  EXPECT_EQ(thread_decoder_pool().size(), 0u);
}

TEST_F(DecoderPoolTest, IteratorGivesItsDecoderBackWhateverItsState) {
  const std::size_t opened = decoders_opened_on_thread();
  for (int round = 0; round < 3; ++round) {
    auto frames = decode_packets(RuntimeCodec::H264, {}, {});
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(thread_decoder_pool().size(), 0u);
    if (round == 1) {
      EXPECT_FALSE(frames->next().has_value());  // drained to the end
      EXPECT_FALSE(frames->next().has_value());  // and it stays at the end
    }
  }
  EXPECT_EQ(thread_decoder_pool().size(), 1u);
  EXPECT_EQ(decoders_opened_on_thread(), opened + 1);
}

// Idle decoders count against the process-wide bound on kept memory: when
// threads that each fill their own pool reach it, the decoders stored
// longest ago are freed, whichever thread holds them. Thread exits free the
// rest.
TEST_F(DecoderPoolTest, ThreadsTogetherKeepIdleDecodersWithinTheBound) {
  constexpr int THREADS = 3;
  vantle_video_runtime_release_kept_memory();
  const std::size_t live_before = live_decoders();
  // Decoders opened from extradata alone have no picture size yet: each
  // counts with its tables' estimate, so the bound holds exactly five.
  const DecoderPoolKey probe_key = key_with(extradata_variant(0xf0));
  auto probe = take_or_create_decoder(probe_key);
  ASSERT_TRUE(probe.has_value());
  const std::size_t each = estimated_idle_decoder_bytes(*probe->get());
  vantle_video_runtime_set_kept_memory_limit(5 * each);
  std::barrier filled(THREADS + 1);
  std::barrier done(THREADS + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      filled.arrive_and_wait();  // one thread at a time below, in order
      for (int turn = 0; turn < t; ++turn) {
        filled.arrive_and_wait();
      }
      for (std::uint8_t i = 0; i < DECODER_POOL_CAPACITY; ++i) {
        const DecoderPoolKey key = key_with(extradata_variant(0xf0 + i));
        auto decoder = take_or_create_decoder(key);
        ASSERT_TRUE(decoder.has_value());
        thread_decoder_pool().put(key, std::move(*decoder));
      }
      for (int turn = t; turn < THREADS; ++turn) {
        filled.arrive_and_wait();
      }
      // The first thread's decoders went first, then the second's oldest.
      EXPECT_EQ(thread_decoder_pool().size(), t == 0 ? 0u : t == 1 ? 1u : 4u);
      done.arrive_and_wait();
    });
  }
  for (int turn = 0; turn <= THREADS; ++turn) {
    filled.arrive_and_wait();
  }
  EXPECT_EQ(live_decoders() - live_before, 5u + 1u);  // and the probe
  EXPECT_EQ(kept_memory_bytes(), 5 * each);
  done.arrive_and_wait();
  for (std::thread& thread : threads) {
    thread.join();
  }
  { const OpenedDecoder closed = std::move(*probe); }
  EXPECT_EQ(kept_memory_bytes(), 0u);
  EXPECT_EQ(live_decoders(), live_before);
  vantle_video_runtime_set_kept_memory_limit(DEFAULT_KEPT_MEMORY_LIMIT);
}

// What a packet carries in-band decides which pooled decoder it may take:
// whole parameter-set NAL units, sorted, without repeats; trailing zeros and
// start codes are not part of them; an unreadable length-prefixed packet is
// unknown.
TEST(ParameterSets, PacketsYieldTheirWholeParameterSets) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes avcc{1, 0x64, 0, 0x1f, 0xff};  // 4-byte NAL lengths
  struct Case {
    const char* name;
    RuntimeCodec codec;
    Bytes extradata;
    Bytes packet;
    bool readable;
    ParameterSets sets;
  };
  const Case cases[] = {
      {"Annex B, 4- and 3-byte start codes, PPS twice, trailing zeros",
       RuntimeCodec::H264,
       {},
       {0, 0, 0, 1, 0x67, 0x42, 0x00, 0, 0, 1,    0x68, 0xce, 0,
        0, 0, 0, 1, 0x68, 0xce, 0,    0, 1, 0x65, 0x88, 0x84},
       true,
       {{0x67, 0x42}, {0x68, 0xce}}},
      {"slices only",
       RuntimeCodec::H264,
       {},
       {0, 0, 1, 0x65, 0x01, 0x01, 0, 0, 1, 0x41, 0x9a},
       true,
       {}},
      {"H.265 VPS, SPS, PPS; AUD skipped",
       RuntimeCodec::H265,
       {},
       {0, 0, 1, 0x46, 0x01, 0, 0, 1, 0x40, 0x01, 0x0c, 0, 0, 1, 0x42, 0x01, 0, 0, 1, 0x44, 0x01},
       true,
       {{0x40, 0x01, 0x0c}, {0x42, 0x01}, {0x44, 0x01}}},
      {"length-prefixed",
       RuntimeCodec::H264,
       avcc,
       {0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 3, 0x65, 0x88, 0x84},
       true,
       {{0x67, 0x42}}},
      {"length past the end", RuntimeCodec::H264, avcc, {0, 0, 0, 9, 0x67, 0x42}, false, {}},
      {"AV1 carries none", RuntimeCodec::Av1, {}, {0, 0, 1, 0x67, 0x42}, true, {}},
  };
  for (const Case& c : cases) {
    ParameterSets sets;
    EXPECT_EQ(add_parameter_sets(c.codec, c.extradata, c.packet, sets), c.readable) << c.name;
    if (c.readable) {
      EXPECT_EQ(sets, c.sets) << c.name;
    }
  }
}

}  // namespace
}  // namespace vantle
