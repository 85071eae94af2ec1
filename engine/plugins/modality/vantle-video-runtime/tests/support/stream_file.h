// Real stream files turned into what the library takes: one codec, its
// extradata and the access units in decode order. libavformat does the
// demuxing here, in the tests only; the library itself has no demuxer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/result.h"
#include "vantle_video_runtime.h"

namespace vantle::testing {

struct StreamFile {
  RuntimeCodec codec = RuntimeCodec::H264;
  // The container libavformat recognised ("flv", "mpegts", "ivf", ...).
  std::string container;
  std::vector<std::uint8_t> extradata;
  // Annex B, MPEG-TS or IVF: the packets carry their parameter sets (or
  // sequence headers) themselves, so decoding needs no extradata.
  bool parameter_sets_in_band = false;
  // The first video stream's packets, decode order, payload bytes only.
  std::vector<std::vector<std::uint8_t>> packets;
  // The reorder delay libavformat's probing measured by decoding the start
  // of the stream (AVCodecParameters::video_delay); FFmpeg's command-line
  // tool presets its decoder with it.
  int probed_reorder_delay = 0;
  // Packets that carried new extradata as side data, which the library's
  // packets cannot carry.
  std::size_t packets_with_new_extradata = 0;
};

// The file's bytes; empty when it cannot be read.
std::vector<std::uint8_t> read_file_bytes(const std::filesystem::path& path);

// Demuxes the file. The container is recognised by its content alone: the
// file name is never shown to libavformat, so a misleading extension does
// not matter. An error when libavformat cannot open the file or finds no
// H.264, H.265 or AV1 video stream in it.
Result<StreamFile> read_stream_file(const std::filesystem::path& path);

}  // namespace vantle::testing
