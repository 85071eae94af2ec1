#include "builtin_clip.h"

#include "ffmpeg_handles.h"

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

std::expected<Clip, std::string> make_builtin_clip() {
  auto fail = [](const std::string& why) { return std::unexpected("built-in example: " + why); };
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (encoder == nullptr) {
    encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
  }
  if (encoder == nullptr) {
    return fail("this FFmpeg has no H.264 encoder");
  }
  CodecContextHandle context(avcodec_alloc_context3(encoder));
  FrameHandle frame(av_frame_alloc());
  PacketHandle packet(av_packet_alloc());
  if (!context || !frame || !packet) {
    return fail("out of memory");
  }
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, 25};
  context->framerate = AVRational{25, 1};
  context->gop_size = kGroupSize;
  context->max_b_frames = 2;
  context->color_range = AVCOL_RANGE_MPEG;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_BT709;
  context->thread_count = 1;
  // Key frames only where the group size puts them.
  av_opt_set(context->priv_data, "x264-params", "scenecut=0", 0);
  int rc = avcodec_open2(context.get(), encoder, nullptr);
  if (rc < 0) {
    return fail("cannot open the H.264 encoder: " + ffmpeg_error_text(rc));
  }
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  if ((rc = av_frame_get_buffer(frame.get(), 0)) < 0) {
    return fail(ffmpeg_error_text(rc));
  }

  Clip clip;
  clip.source = "built-in example";
  clip.codec = RuntimeCodec::H264;
  clip.codec_name = "h264";
  clip.width = kWidth;
  clip.height = kHeight;
  clip.color_range = AVCOL_RANGE_MPEG;
  clip.color_space = AVCOL_SPC_BT709;
  clip.color_primaries = AVCOL_PRI_BT709;
  clip.color_trc = AVCOL_TRC_BT709;
  for (int i = 0; i <= kFrames; ++i) {
    if (i < kFrames) {
      if ((rc = av_frame_make_writable(frame.get())) < 0) {
        return fail(ffmpeg_error_text(rc));
      }
      paint(*frame, i);
      frame->pts = i;
    }
    if ((rc = avcodec_send_frame(context.get(), i < kFrames ? frame.get() : nullptr)) < 0) {
      return fail("H.264 encoder: " + ffmpeg_error_text(rc));
    }
    while ((rc = avcodec_receive_packet(context.get(), packet.get())) == 0) {
      clip.access_units.push_back(
          AccessUnit{std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
                     (packet->flags & AV_PKT_FLAG_KEY) != 0});
      av_packet_unref(packet.get());
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
      return fail("H.264 encoder: " + ffmpeg_error_text(rc));
    }
  }
  if (auto split = split_into_groups(clip); !split) {
    return std::unexpected(split.error());
  }
  return clip;
}

}  // namespace vantle::tool
