#include "decoding/decoder_counts.h"

#include <unordered_set>

#include "common/ffmpeg.h"
#include "common/thread_annotations.h"

extern "C" {
int __real_avcodec_open2(AVCodecContext* context, const AVCodec* codec, AVDictionary** options);
void __real_avcodec_free_context(AVCodecContext** context);
}

namespace vantle {

namespace {

thread_local std::size_t OPENED_ON_THREAD = 0;

struct LiveDecoders {
  Mutex mutex;
  std::unordered_set<const AVCodecContext*> contexts GUARDED_BY(mutex);
};

LiveDecoders& live() {
  // Never destroyed: decoders may be freed by threads still running at exit.
  static auto* decoders = new LiveDecoders;
  return *decoders;
}

}  // namespace

std::size_t decoders_opened_on_thread() noexcept {
  return OPENED_ON_THREAD;
}

std::size_t live_decoders() noexcept {
  LiveDecoders& decoders = live();
  const MutexLock lock(decoders.mutex);
  return decoders.contexts.size();
}

}  // namespace vantle

extern "C" int __wrap_avcodec_open2(AVCodecContext* context, const AVCodec* codec,
                                    AVDictionary** options) {
  const int rc = __real_avcodec_open2(context, codec, options);
  if (rc == 0 && av_codec_is_decoder(context->codec) != 0) {
    ++vantle::OPENED_ON_THREAD;
    vantle::LiveDecoders& decoders = vantle::live();
    const vantle::MutexLock lock(decoders.mutex);
    decoders.contexts.insert(context);
  }
  return rc;
}

extern "C" void __wrap_avcodec_free_context(AVCodecContext** context) {
  if (context != nullptr && *context != nullptr) {
    vantle::LiveDecoders& decoders = vantle::live();
    const vantle::MutexLock lock(decoders.mutex);
    decoders.contexts.erase(*context);
  }
  __real_avcodec_free_context(context);
}
