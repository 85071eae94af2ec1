// The built-in example: encodes a short synthetic H.264 clip with FFmpeg,
// then drives the three request exports through the C interface exactly as
// a host would, printing what comes back.
//
//   vantle_video_runtime_example [width height frames]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "media/synthetic_clip.h"
#include "vantle_video_runtime.h"

namespace {

using vantle::media::EncodedPictures;

// A moving gradient: enough structure for the encoder to make real P and B
// pictures.
void paint(AVFrame& frame, int index) {
  for (int y = 0; y < frame.height; ++y) {
    for (int x = 0; x < frame.width; ++x) {
      frame.data[0][y * frame.linesize[0] + x] = static_cast<uint8_t>(x + y + index * 4);
    }
  }
  for (int y = 0; y < (frame.height + 1) / 2; ++y) {
    for (int x = 0; x < (frame.width + 1) / 2; ++x) {
      frame.data[1][y * frame.linesize[1] + x] = static_cast<uint8_t>(128 + x - index);
      frame.data[2][y * frame.linesize[2] + x] = static_cast<uint8_t>(128 + y + index);
    }
  }
}

bool encode_clip(int width, int height, int frames, EncodedPictures& clip) {
  const AVCodec* codec = vantle::media::find_h264_encoder();
  if (codec == nullptr) {
    std::fputs("this FFmpeg build has no H.264 encoder\n", stderr);
    return false;
  }
  vantle::media::EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.gop_size = frames;
  settings.b_frames = 2;
  auto encoded = vantle::media::encode_pictures(*codec, settings, 0, frames, paint, clip);
  if (!encoded) {
    std::fprintf(stderr, "%s\n", encoded.error().c_str());
  }
  return encoded.has_value();
}

void print_last_error(const char* what) {
  const RuntimeBytes message = vantle_video_runtime_last_error();
  std::printf("%s failed: %.*s\n", what, static_cast<int>(message.len),
              reinterpret_cast<const char*>(message.data));
}

}  // namespace

int main(int argc, char** argv) {
  const int width = argc > 3 ? std::atoi(argv[1]) : 320;
  const int height = argc > 3 ? std::atoi(argv[2]) : 240;
  const int frames = argc > 3 ? std::atoi(argv[3]) : 12;
  av_log_set_level(AV_LOG_WARNING);  // the encoder's statistics are not the point here
  EncodedPictures clip;
  if (width <= 0 || height <= 0 || frames <= 0 || !encode_clip(width, height, frames, clip)) {
    std::fputs("could not make the example clip\n", stderr);
    return 1;
  }
  std::vector<RuntimePacket> packets;
  for (const auto& packet : clip.packets) {
    packets.push_back(RuntimePacket{packet.bytes.data(), packet.bytes.size()});
  }
  std::printf("example clip: H.264 %dx%d, %zu access units\n", width, height, packets.size());

  RuntimeDecodeRequest request{};
  request.codec = RuntimeCodec::H264;
  request.packets = packets.data();
  request.packet_count = packets.size();
  int failures = 0;

  // 1. Two positions as RGB, downscaled to half size.
  const size_t positions[] = {0, 5};
  request.selected_positions = positions;
  request.selected_position_count = 2;
  request.pixel_format = RuntimePixelFormat::Rgb;
  request.output_width = static_cast<uint32_t>(width / 2);
  request.output_height = static_cast<uint32_t>(height / 2);
  RuntimeDecodeResponse decoded{};
  if (vantle_video_runtime_decode(&request, &decoded) == 0) {
    for (size_t i = 0; i < decoded.frame_count; ++i) {
      const RuntimeFrame& f = decoded.frames[i];
      std::printf("decode RGB: frame %zu %ux%u, %zu bytes\n", i, f.width, f.height, f.rgb.len);
    }
    vantle_video_runtime_free_response(&decoded);
  } else {
    print_last_error("decode RGB");
    ++failures;
  }

  // 2. Every picture as YUV 4:2:0 with the packet that produced it.
  request.pixel_format = RuntimePixelFormat::Yuv420;
  RuntimeIndexedResponse indexed{};
  if (vantle_video_runtime_decode_indexed(&request, &indexed) == 0) {
    std::printf("decode indexed: %zu pictures, packet indices:", indexed.frame_count);
    for (size_t i = 0; i < indexed.frame_count; ++i) {
      std::printf(" %zu", indexed.frames[i].packet_index);
    }
    std::printf("\n");
    vantle_video_runtime_free_indexed_response(&indexed);
  } else {
    print_last_error("decode indexed");
    ++failures;
  }

  // 3. Positions 2 and 5 re-encoded as a fresh H.264 group.
  const size_t transcode_positions[] = {5, 2, 2};
  RuntimeTranscodeRequest transcode{};
  transcode.decode = request;
  transcode.decode.selected_positions = transcode_positions;
  transcode.decode.selected_position_count = 3;
  transcode.frame_rate_num = 30000;
  transcode.frame_rate_den = 1001;
  transcode.bit_rate = 1000000;
  RuntimeTranscodeResponse encoded{};
  if (vantle_video_runtime_transcode_h264(&transcode, &encoded) == 0) {
    std::printf("transcode: %zu access units:", encoded.access_unit_count);
    for (size_t i = 0; i < encoded.access_unit_count; ++i) {
      std::printf(" %zu bytes", encoded.access_units[i].len);
    }
    std::printf("\n");
    vantle_video_runtime_free_transcode_response(&encoded);
  } else {
    print_last_error("transcode");
    ++failures;
  }

  // 4. A failure as the host sees it: a null response pointer.
  if (vantle_video_runtime_decode(&request, nullptr) != 0) {
    print_last_error("decode with a null response (expected)");
  }
  return failures == 0 ? 0 : 1;
}
