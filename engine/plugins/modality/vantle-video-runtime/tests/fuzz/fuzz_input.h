/*
 * The fuzz targets' input format, shared with the seed maker.
 *
 *   bytes 0-15   header, little-endian:
 *                 0     codec (value modulo 3: H.264, AV1, H.265, unless byte
 *                       1 picks VP9 or VP8); with byte 1's bit 7, bits 2-3
 *                       the turn (times 90 degrees) and bits 4-5 the flips
 *                 1     bit 0: RGB output (else YUV 4:2:0); bit 1: zero-length
 *                       extradata and packets get a non-null pointer; bit 2:
 *                       small bounds (pictures of 4096 pixels, responses of
 *                       64 KiB) instead of the library's defaults (the
 *                       indexed target reads bits 2 and 3 for its own choices
 *                       too); bit 4: VP9; bit 5: VP8 (over bit 4); bit 6: the
 *                       16-bit output of the same layout; bit 7: decode with
 *                       options (the turn)
 *                 2-3   RGB output width, modulo 257 (0: the picture's own)
 *                 4-5   RGB output height, modulo 257
 *                 6-7   position mask: bit i selects output position i
 *                       (0: no positions)
 *                 8-11  transcode frame rate numerator
 *                 12-15 transcode frame rate denominator
 *   then         chunks separated by FUZZ_TAG ("FUZZ-TAG"), as FFmpeg's own
 *                decoder fuzzer splits its input: the first chunk is the
 *                extradata, every further chunk one access unit.
 *
 * One input costs a bounded amount: at most FUZZ_MAX_PACKETS access units
 * (later chunks are ignored), output sizes below 257, and the length limit
 * the fuzzer runs with.
 */
#ifndef VANTLE_FUZZ_INPUT_H
#define VANTLE_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include "vantle_video_runtime.h"

#define FUZZ_TAG "FUZZ-TAG"
#define FUZZ_TAG_LEN 8
#define FUZZ_HEADER_LEN 16
#define FUZZ_MAX_PACKETS 64
#define FUZZ_MAX_POSITIONS 16

typedef struct FuzzRequest {
  RuntimeTranscodeRequest transcode; /* .decode is the decode request */
  int with_options;                  /* decode through the options export */
  RuntimeDecodeOptions options;
  RuntimePacket packets[FUZZ_MAX_PACKETS];
  size_t positions[FUZZ_MAX_POSITIONS];
} FuzzRequest;

/* Fills *request from the input; the records point into `data`. Sets the
 * library's two bounds as the header asks. Returns 0 when the input is too
 * short to hold a header. */
int fuzz_parse_input(const uint8_t* data, size_t size, FuzzRequest* request);

/* Called once per process: switches the library's host-buffer guard on when
 * VANTLE_FUZZ_HOST_GUARD is "after" or "before"; exits when the guard is
 * asked for but this build has none. */
void fuzz_select_host_guard(void);

/* What every target's LLVMFuzzerInitialize does: the guard as above, and
 * FFmpeg's log silenced unless VANTLE_FUZZ_FFMPEG_LOG is set (a few lines of
 * decoder complaints per input would fill the campaign's logs and slow it). */
void fuzz_setup(void);

/* After a request export: status must be 0 or -1; on -1 the message must be
 * non-empty and the response untouched (it was filled with FUZZ_SENTINEL). */
void fuzz_check_failure(int32_t status, const void* response, size_t response_size);
#define FUZZ_SENTINEL 0xa5

/* Walk every returned buffer (each byte is read), check the record shapes,
 * and release the response. Abort on any violation. */
void fuzz_consume_decode(RuntimeDecodeResponse* response, RuntimePixelFormat format);
void fuzz_consume_indexed(RuntimeIndexedResponse* response, size_t packet_count);
void fuzz_consume_transcode(RuntimeTranscodeResponse* response, size_t selected_count);

/* What the target of one request export does with a parsed input; `flags` is
 * the input's byte 1. Each such target defines it; request_target.c holds
 * the libFuzzer entry points they share, which call it. */
void fuzz_request(FuzzRequest* request, uint8_t flags);

#endif
