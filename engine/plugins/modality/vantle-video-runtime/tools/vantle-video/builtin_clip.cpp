#include "builtin_clip.h"
#include "common/result.h"

#include "media/synthetic_clip.h"

namespace vantle::tool {

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFrames = 75;
constexpr int kGroupSize = 25;

// Diagonal gradient with a bright square sliding across and a chroma ramp:
// every picture differs, so the encoder makes real P and B pictures.
void paint(AVFrame& frame, int index) {
  const int square_x = (index * 7) % (kWidth - 64);
  const int square_y = kHeight / 2 - 32 + (index % 20) - 10;
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = frame.data[0] + y * frame.linesize[0];
    for (int x = 0; x < kWidth; ++x) {
      const bool in_square =
          x >= square_x && x < square_x + 64 && y >= square_y && y < square_y + 64;
      row[x] = in_square ? 235 : static_cast<std::uint8_t>(16 + ((x + y + index * 3) & 0x7f));
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      frame.data[1][y * frame.linesize[1] + x] = static_cast<std::uint8_t>(64 + (x + index) % 128);
      frame.data[2][y * frame.linesize[2] + x] = static_cast<std::uint8_t>(64 + (y * 2) % 128);
    }
  }
}

}  // namespace

Result<Clip> make_builtin_clip() {
  auto fail = [](const std::string& why) { return vantle::fail("built-in example: " + why); };
  const AVCodec* encoder = media::find_h264_encoder();
  if (encoder == nullptr) {
    return fail("this FFmpeg has no H.264 encoder");
  }
  media::EncoderSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  settings.gop_size = kGroupSize;
  settings.b_frames = 2;
  settings.colour = media::BT709_LIMITED;
  if (std::string(encoder->name) == "libx264") {
    // Key frames only where the group size puts them.
    settings.options = {{"x264-params", "scenecut=0"}};
  }
  media::EncodedPictures encoded;
  if (auto done = media::encode_pictures(*encoder, settings, 0, kFrames, paint, encoded); !done) {
    return fail(done.error());
  }

  Clip clip;
  clip.source = "built-in example";
  clip.codec = RuntimeCodec::H264;
  clip.codec_name = "h264";
  clip.width = kWidth;
  clip.height = kHeight;
  clip.colour = settings.colour;
  clip.pixel_format = AV_PIX_FMT_YUV420P;
  for (media::EncodedPacket& packet : encoded.packets) {
    clip.access_units.push_back(AccessUnit{std::move(packet.bytes), packet.key});
  }
  if (auto split = split_into_groups(clip); !split) {
    return vantle::fail(split.error());
  }
  return clip;
}

}  // namespace vantle::tool
