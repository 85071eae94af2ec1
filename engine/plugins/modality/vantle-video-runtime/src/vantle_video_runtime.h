/*
 * vantle_video_runtime.h - C interface of the Vantle video runtime.
 *
 * The host holds compressed video as access units (H.264, H.265, AV1, VP9 or
 * VP8, one packet per access unit, decode order, optional extradata) and asks
 * the library to decode them to RGB or YUV 4:2:0 (8 bits, or 16 bits at the
 * source's precision), optionally turned upright, to decode them with each
 * picture tagged by the packet that produced it, or to re-encode selected
 * pictures as one fresh H.264 group of pictures.
 *
 * Conventions shared by every function below:
 *
 *  - Requests, packet arrays, packet bytes, extradata and position arrays
 *    belong to the host. The library reads them only during the call that
 *    receives them and keeps no pointer to them afterwards.
 *  - Response records belong to the host (it passes their address). On success
 *    a request export writes both fields of the response; on failure it writes
 *    nothing at all, so the record keeps whatever the host put there.
 *  - Arrays and buffers reachable from a filled response are owned by the
 *    library until the host passes the whole response to the matching release
 *    function. Never free them any other way, and never release a single
 *    buffer that sits inside a response.
 *  - A buffer or array is absent when its pointer is NULL and its length 0. A
 *    buffer or array made from content is never NULL: when it holds nothing
 *    its pointer is a non-NULL address that owns no storage and must not be
 *    read.
 *  - Request exports return 0 on success and -1 on failure; nothing else.
 *    After -1, vantle_video_runtime_last_error() on the same thread returns
 *    the message; after 0 it returns an empty text.
 *  - Nothing unwinds into the host. A call whose pixel or access-unit
 *    buffers find no memory fails with -1 and a message (since 1.3), as
 *    does one in which FFmpeg reports that it is out of memory. Only a
 *    failed small allocation (response record arrays, messages, the
 *    library's bookkeeping) or a broken internal invariant aborts the
 *    process.
 *  - Every call runs on the calling thread. The library starts no threads of
 *    its own. Calls on different threads are independent; they share only
 *    the memory kept for reuse, under one lock taken a few times per call
 *    and never per picture.
 *    Each thread has its own error slot and its own pool of up to four idle
 *    decoders, freed when the thread exits or when the process-wide bound
 *    on kept memory needs the room (below). An idle decoder holds the
 *    pictures of its last run until it is reused or freed.
 *  - The environment variable VANTLE_VIDEO_FFMPEG_THREADS (an unsigned
 *    decimal, default 1, 0 lets FFmpeg choose) sets the FFmpeg codec thread
 *    count. It is read anew at every decode and every encoder open.
 *  - The first decode or transcode in the process sets FFmpeg's log level to
 *    AV_LOG_WARNING for the whole process.
 *
 * Layout: x86-64 Linux, LP64. Every size and offset below is part of the
 * interface. Enumerations are stored as 32-bit unsigned values in both C and
 * C++.
 */
#ifndef VANTLE_VIDEO_RUNTIME_H
#define VANTLE_VIDEO_RUNTIME_H

#include <stddef.h>
#include <stdint.h>

#if defined(VANTLE_VIDEO_RUNTIME_BUILDING)
#define VANTLE_VIDEO_RUNTIME_API __attribute__((visibility("default")))
#else
#define VANTLE_VIDEO_RUNTIME_API
#endif

#ifdef __cplusplus
#define VANTLE_VIDEO_RUNTIME_NOEXCEPT noexcept
#else
#define VANTLE_VIDEO_RUNTIME_NOEXCEPT
#endif

/*
 * Compressed input format. Each is decoded by FFmpeg's decoder of that name:
 * h264, libdav1d (AV1), hevc, vp9 and vp8. VP9 packets may be superframes
 * and VP8 packets invisible (alt-ref) frames, as WebM, MP4 and IVF carry
 * them: a packet that shows no picture adds none to the output. Values the
 * table does not list are decoded as H.265 (since 1.0; VP9 and VP8 since
 * 1.2).
 *
 * Output layout of decoded frames (see RuntimeFrame). Values the table does
 * not list are decoded as Rgb (Rgb48 and Yuv420P16 since 1.2).
 *  - Rgb:       8-bit packed RGB, from any source format.
 *  - Yuv420:    8-bit planes, from yuv420p / yuvj420p sources only.
 *  - Rgb48:     16-bit packed RGB at the source's precision, from 8-, 10- and
 *               12-bit 4:2:0, 4:2:2 and 4:4:4 sources (and hardware frames
 *               after download): equal to the ffmpeg command line's
 *               "-pix_fmt rgb48le", resized as "-vf scale=W:H".
 *  - Yuv420P16: 16-bit 4:2:0 planes from the same sources, samples at the
 *               source's precision scaled to 16 bits (a 10-bit sample v
 *               becomes about v * 64), the source's range kept: equal to
 *               FFmpeg 9.0's "-pix_fmt yuv420p16le".
 */
#ifdef __cplusplus
enum class RuntimeCodec : uint32_t { H264 = 0, Av1 = 1, H265 = 2, Vp9 = 3, Vp8 = 4 };
enum class RuntimePixelFormat : uint32_t { Rgb = 0, Yuv420 = 1, Rgb48 = 2, Yuv420P16 = 3 };
#else
typedef uint32_t RuntimeCodec; /* 32-bit */
enum {
  RuntimeCodec_H264 = 0,
  RuntimeCodec_Av1 = 1,
  RuntimeCodec_H265 = 2,
  RuntimeCodec_Vp9 = 3,
  RuntimeCodec_Vp8 = 4
};
typedef uint32_t RuntimePixelFormat; /* 32-bit */
enum {
  RuntimePixelFormat_Rgb = 0,
  RuntimePixelFormat_Yuv420 = 1,
  RuntimePixelFormat_Rgb48 = 2,
  RuntimePixelFormat_Yuv420P16 = 3
};
#endif

/* Flips of RuntimeDecodeOptions.flip (bits). */
enum { RuntimeFlip_Horizontal = 1, RuntimeFlip_Vertical = 2 };

#ifdef __cplusplus
#if defined(VANTLE_VIDEO_RUNTIME_BUILDING)
namespace vantle {
class ByteBuffer;
}
#endif
extern "C" {
#endif

/* One contiguous byte buffer (16 bytes). data is NULL only for an absent
 * buffer. */
typedef struct RuntimeBytes {
  uint8_t *data; /* offset 0 */
  size_t len;    /* offset 8 */
#if defined(__cplusplus) && defined(VANTLE_VIDEO_RUNTIME_BUILDING)
  /* The absent buffer: data NULL, len 0. */
  static RuntimeBytes empty() noexcept;
  /* Takes over an owned buffer; len is its size. Never NULL. */
  static RuntimeBytes from_vec(vantle::ByteBuffer &&bytes) noexcept;
#endif
} RuntimeBytes;

/* One compressed access unit supplied by the host (16 bytes). */
typedef struct RuntimePacket {
  const uint8_t *data; /* offset 0 */
  size_t len;          /* offset 8 */
} RuntimePacket;

/* One decoded picture (96 bytes).
 *  - format Rgb: rgb holds width * 3 * height bytes, rows top to bottom
 *    without padding, R G B per pixel; y, u, v are absent; the colour fields
 *    are 0, 2, 2, 2 (all unspecified).
 *  - format Rgb48: as Rgb with 16-bit little-endian samples: width * 6 *
 *    height bytes, R G B per pixel.
 *  - format Yuv420: rgb is absent; y holds width * height bytes, u and v each
 *    ceil(width / 2) * ceil(height / 2) bytes, rows without padding; the
 *    colour fields are the decoded frame's FFmpeg values.
 *  - format Yuv420P16: as Yuv420 with 16-bit little-endian samples, so every
 *    plane holds twice the bytes. */
typedef struct RuntimeFrame {
  RuntimePixelFormat format; /* offset 0 */
  uint32_t width;            /* offset 4 */
  uint32_t height;           /* offset 8 */
  RuntimeBytes rgb;          /* offset 16 */
  RuntimeBytes y;            /* offset 32 */
  RuntimeBytes u;            /* offset 48 */
  RuntimeBytes v;            /* offset 64 */
  int32_t color_range;       /* offset 80, FFmpeg AVColorRange */
  int32_t color_space;       /* offset 84, FFmpeg AVColorSpace */
  int32_t color_primaries;   /* offset 88, FFmpeg AVColorPrimaries */
  int32_t color_trc;         /* offset 92, FFmpeg AVColorTransferCharacteristic */
} RuntimeFrame;

/* One picture of the indexed decode (104 bytes). */
typedef struct RuntimeIndexedFrame {
  RuntimeFrame frame;  /* offset 0, format Yuv420 or Yuv420P16, as requested */
  size_t packet_index; /* offset 96, index of the packet that produced it */
} RuntimeIndexedFrame;

/* Input of the decode and indexed-decode exports (80 bytes). */
typedef struct RuntimeDecodeRequest {
  RuntimeCodec codec;                /* offset 0 */
  const uint8_t *extradata;          /* offset 8, may be NULL when extradata_len is 0 */
  size_t extradata_len;              /* offset 16 */
  uint64_t reserved;                 /* offset 24, never read */
  uint32_t output_width;             /* offset 32, RGB only; 0 keeps the decoded width */
  uint32_t output_height;            /* offset 36, RGB only; 0 keeps the decoded height */
  RuntimePixelFormat pixel_format;   /* offset 40 */
  const RuntimePacket *packets;      /* offset 48, decode order; may be NULL when count is 0 */
  size_t packet_count;               /* offset 56 */
  const size_t *selected_positions;  /* offset 64, may be NULL when count is 0 */
  size_t selected_position_count;    /* offset 72 */
} RuntimeDecodeRequest;

/* Options of vantle_video_runtime_decode_with_options() (16 bytes). The
 * record grows only at its end; size tells the library which version the
 * host filled. Set size to sizeof(RuntimeDecodeOptions) and zero what is
 * not used: an all-zero record (but size) asks for nothing.
 *  - rotation: the clockwise turn, in degrees, applied to each stored
 *    picture before it is converted: 0, 90, 180 or 270. 90 and 270 swap the
 *    output's width and height.
 *  - flip: RuntimeFlip_* bits, applied after the turn.
 * This is what the ffmpeg command line's autorotation does with a display
 * matrix: a matrix that ffprobe reports as "rotation of -90.00 degrees"
 * asks for rotation 90; transpose=cclock_flip is rotation 90 with
 * RuntimeFlip_Horizontal, clock_flip is rotation 270 with
 * RuntimeFlip_Horizontal. The planes are moved before conversion, so the
 * output equals the command line's for 4:2:0 and 4:4:4 sources; other
 * sources are turned after conversion. */
typedef struct RuntimeDecodeOptions {
  uint32_t size;     /* offset 0, bytes of the record the host filled, at least 16 */
  uint32_t rotation; /* offset 4 */
  uint32_t flip;     /* offset 8 */
  uint32_t reserved; /* offset 12, must be 0 */
} RuntimeDecodeOptions;

/* Input of the transcode export (96 bytes). */
typedef struct RuntimeTranscodeRequest {
  RuntimeDecodeRequest decode; /* offset 0 */
  uint32_t frame_rate_num;     /* offset 80 */
  uint32_t frame_rate_den;     /* offset 84 */
  uint64_t bit_rate;           /* offset 88 */
} RuntimeTranscodeRequest;

/* Responses (16 bytes each): a library-owned array and its element count. */
typedef struct RuntimeDecodeResponse {
  RuntimeFrame *frames; /* offset 0 */
  size_t frame_count;   /* offset 8 */
} RuntimeDecodeResponse;

typedef struct RuntimeIndexedResponse {
  RuntimeIndexedFrame *frames; /* offset 0 */
  size_t frame_count;          /* offset 8 */
} RuntimeIndexedResponse;

typedef struct RuntimeTranscodeResponse {
  RuntimeBytes *access_units; /* offset 0 */
  size_t access_unit_count;   /* offset 8 */
} RuntimeTranscodeResponse;

/*
 * Decodes request->packets and returns the pictures at the selected output
 * positions.
 *
 * Reads: codec, extradata, packets, selected_positions, pixel_format, and for
 * Rgb also output_width and output_height (0 keeps the decoded dimension).
 * Output pictures are numbered 0, 1, 2, ... in the order the decoder outputs
 * them (presentation order). Positions are a set: duplicates and order do not
 * matter; an empty selection returns every picture; positions past the end
 * select nothing and are not an error. The whole run is always decoded.
 *
 * Writes: on success response->frame_count, then response->frames (non-NULL,
 * even with no frames), frames in output order. Release with
 * vantle_video_runtime_free_response(). On failure the response is untouched.
 *
 * Returns 0, or -1 with the message in vantle_video_runtime_last_error().
 */
VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode(
    const RuntimeDecodeRequest *request,
    RuntimeDecodeResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * As vantle_video_runtime_decode(), with the pictures turned and flipped as
 * options says before they are converted (since 1.2). output_width and
 * output_height are the size of the turned picture. options is checked after
 * the two pointers of the request: NULL, a size below 16, a size above the
 * record this library knows with any byte past it not 0, a rotation other
 * than 0, 90, 180 or 270, unknown flip bits or a reserved field other than 0
 * fail the call. options is read only during the call.
 */
VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode_with_options(
    const RuntimeDecodeRequest *request, const RuntimeDecodeOptions *options,
    RuntimeDecodeResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Decodes an H.264 or H.265 run and returns every output picture as YUV 4:2:0,
 * each tagged with the index of the packet that produced it.
 *
 * Reads: codec (H264 or H265), pixel_format (Yuv420, or Yuv420P16 since
 * 1.2), extradata and packets. The selection and output size fields are
 * ignored.
 * At most 256 MiB (268435456 bytes) of pixel data per call, counted as the
 * bytes returned (twice as many per picture for Yuv420P16): the first
 * picture that would exceed it fails the call.
 *
 * Writes: on success response->frame_count, then response->frames (non-NULL),
 * in output order. Release with vantle_video_runtime_free_indexed_response().
 * On failure the response is untouched.
 *
 * Returns 0, or -1 with the message in vantle_video_runtime_last_error().
 */
VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_decode_indexed(
    const RuntimeDecodeRequest *request,
    RuntimeIndexedResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Decodes request->decode and re-encodes the pictures at the selected display
 * positions, in display order, as one new H.264 group of pictures.
 *
 * Reads: of decode the codec, extradata, packets and selected_positions
 * (at least one position required); frame_rate_num / frame_rate_den (each
 * 1 to 2147483647) and bit_rate. pixel_format and the output size are
 * ignored.
 *
 * Writes: on success response->access_unit_count (the number of distinct
 * selected positions), then response->access_units: one Annex B access unit
 * per picture, the first a key frame. Release with
 * vantle_video_runtime_free_transcode_response(). On failure the response is
 * untouched.
 *
 * Returns 0, or -1 with the message in vantle_video_runtime_last_error().
 */
VANTLE_VIDEO_RUNTIME_API int32_t vantle_video_runtime_transcode_h264(
    const RuntimeTranscodeRequest *request,
    RuntimeTranscodeResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Memory kept for reuse. Released buffers of 4 KiB and more (since 1.3;
 * 128 KiB before), and idle decoders, are kept so that decoding group after
 * group neither opens decoders nor faults fresh pages in. What is kept is shared by the whole
 * process and bounded as a whole: at most 256 MiB by default (see
 * vantle_video_runtime_set_kept_memory_limit()), whatever the number of
 * threads that ever called. A released buffer goes to whichever thread asks
 * for one of its size next; an idle decoder stays in the pool of the thread
 * that used it (up to four per thread) and counts against the bound with
 * what it holds: the blocks its pictures are decoded into, mapped by the
 * library like the buffers, plus 1 MiB for its tables. AV1 decoders, whose
 * pictures libdav1d allocates itself, and decoders of hardware frames count
 * with an estimate: their pictures at the size they last decoded, plus
 * 1 MiB. A decoder freed because a run could not leave it reusable gives
 * its picture blocks to the kept buffers, for the next decoder or response
 * of their size. When the bound is reached, what was used longest ago,
 * buffer or decoder, goes first; a decoder let go for the bound, or by the
 * release call, has its picture blocks unmapped with it. A response larger
 * than the bound cannot be kept whole: part of the next such response is
 * faulted in anew. These buffers
 * are mapped from the system and unmapped when they leave the library, so
 * nothing the library frees stays behind in the C heap's arenas; smaller
 * ones (record arrays, small access units) come from the C heap and go back
 * to it at once. The library never calls malloc_trim or mallopt.
 *
 * Every byte handed out is followed by 256 bytes of slack that belong to the
 * library (never read or written by the host); access units are followed by
 * 64 zero bytes, so they can be given to an FFmpeg decoder as they are.
 */

/*
 * Frees one library-made buffer. Does nothing when data is NULL; frees no
 * storage when len is 0. It cannot reset the caller's copy: the record is
 * dead afterwards and must not be released again. Never fails and never
 * touches the thread's last error.
 */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_bytes(RuntimeBytes bytes)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Frees every buffer of every frame and the frame array, then sets frames to
 * NULL and frame_count to 0. NULL at any level is accepted, so releasing a
 * released response again does nothing. Pass only a filled or released
 * response (or one the host set to NULL and 0 itself). Any thread may
 * release, but not one response from two threads at once. Never fails and
 * never touches the thread's last error.
 */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_response(RuntimeDecodeResponse *response)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/* As vantle_video_runtime_free_response(), for an indexed response. */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_indexed_response(
    RuntimeIndexedResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/* As vantle_video_runtime_free_response(), for a transcode response: frees
 * every access unit and the array, then sets access_units to NULL and
 * access_unit_count to 0. */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_free_transcode_response(
    RuntimeTranscodeResponse *response) VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Gives back to the system everything the library keeps for reuse that no
 * call is using at this moment: released buffers and idle decoders, of every
 * thread. A host calls it when its worker pool goes idle, before it forks,
 * or under memory pressure. Any thread may call it at any time, also while
 * other threads decode; what other calls hold stays theirs and is kept or
 * freed as usual when they end. Never fails and never touches the thread's
 * last error.
 */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_release_kept_memory(void)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Sets the bound on what the whole process keeps for reuse (see above) to
 * bytes, and trims to it at once, in every thread. 0 keeps nothing between
 * calls: every released buffer and every decoder goes back to the system
 * when its call or release ends. Any thread may call it at any time. Never
 * fails and never touches the thread's last error.
 */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_kept_memory_limit(uint64_t bytes)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Bounds on what one stream may make the library allocate (since 1.3). Both
 * are process-wide: any thread may set them at any time, and each call
 * reads them when it starts. Never fail and never touch the thread's last
 * error.
 *
 * vantle_video_runtime_set_picture_area_limit(): the most pixels (width
 * times height) one decoded picture may have. Default 35389440, DCI 8K
 * (8192 x 4320). The size a stream declares is checked before any of its
 * packets is decoded, wherever the library reads it (H.264 and H.265
 * sequence parameter sets in the extradata or in a packet, AV1 sequence
 * headers, VP9 and VP8 key-frame headers), and the bound is also given to
 * every decoder as FFmpeg's max_pixels (with room for 64 more columns,
 * since FFmpeg counts widths rounded up to its stride alignment). A stream
 * over the bound fails the call with a message that names the bound and
 * the declared size, never as a memory failure. 0 leaves FFmpeg's own limit
 * (about 2^31 pixels).
 *
 * vantle_video_runtime_set_response_limit(): the most bytes of pixel data
 * (and, for a transcode, of access units) one request call may return.
 * Default 4 GiB (4294967296 bytes); 0 means no bound. The call fails at the
 * first picture (or access unit) that would take it over the bound, before
 * any of its buffers is allocated, with a message that names the bound and
 * the size with that whole picture; everything the call had allocated is
 * freed. The indexed decode's own 256 MiB budget
 * applies as well.
 */
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_picture_area_limit(uint64_t pixels)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;
VANTLE_VIDEO_RUNTIME_API void vantle_video_runtime_set_response_limit(uint64_t bytes)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Returns a view of the calling thread's last error message: UTF-8, not
 * NUL-terminated. When there is none, len is 0 and data is a non-NULL address
 * that must not be read. The view is not an allocation: never release it and
 * never write through it. It stays valid until the same thread calls a request
 * export again, or exits; copy the text if it is needed longer. Never fails
 * and never changes the slot.
 */
VANTLE_VIDEO_RUNTIME_API RuntimeBytes vantle_video_runtime_last_error(void)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

/*
 * Returns the library's version and the FFmpeg libraries it was built
 * against and is running with, as one NUL-terminated UTF-8 line:
 *
 *   vantle-video-runtime 1.3.0 (libavcodec 59.37.100 built, 59.37.100 loaded;
 *   libavutil 57.28.100 built, 57.28.100 loaded; libswscale 6.7.100 built,
 *   6.7.100 loaded)
 *
 * (one line without breaks; the numbers are examples). The text is static:
 * the same address on every call and every thread, valid until the library
 * is unloaded; never release it and never write through it. Never fails,
 * never allocates after its first call and never touches the thread's last
 * error. Any thread may call it at any time, also before any request.
 */
VANTLE_VIDEO_RUNTIME_API const char *vantle_video_runtime_version(void)
    VANTLE_VIDEO_RUNTIME_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VANTLE_VIDEO_RUNTIME_H */
