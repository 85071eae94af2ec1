// Acquisition of an opened decoder: from the thread's pool, or newly opened.
#pragma once

#include <cstdint>

#include "common/byte_view.h"
#include "common/ffmpeg.h"
#include "common/result.h"
#include "decoding/decoder_pool.h"
#include "decoding/opened_decoder.h"

namespace vantle {

// A pooled decoder stored under an equal key, brought back to a fresh one's
// state (reset_to_fresh, right before its next run, not when it was stored),
// else a new one configured from the key. The key stays the caller's.
Result<OpenedDecoder> take_or_create_decoder(const DecoderPoolKey& key);

// Installs n extradata bytes followed by 64 zero bytes on a fresh, unopened
// context.
Status set_decoder_extradata(AVCodecContext* context, ByteView bytes);

}  // namespace vantle
