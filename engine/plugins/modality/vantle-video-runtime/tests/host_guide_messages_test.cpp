// The message table of doc/host-guide.md is what the library says: each row
// that names a request below is checked against the message that request
// gets through the C interface; each row marked `source` against the
// library's string literals (no request the test can make reaches it); and
// every message the library's code can return has a row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/last_error.h"
#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using namespace testing;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Row {
  std::string request;  // a case name below, or "source"
  std::string message;
};

// The rows of the table under "## Error messages": | `request` | when | `message` |.
std::vector<Row> guide_rows() {
  const std::string guide = read_file(VANTLE_HOST_GUIDE);
  const auto start = guide.find("\n## Error messages");
  const auto end = guide.find("\n## ", start + 1);
  std::istringstream section(guide.substr(start, end - start));
  // Parsed by hand: g++ 12 warns inside std::regex at -O1 (the sanitizer leg).
  std::vector<Row> rows;
  for (std::string line; std::getline(section, line);) {
    const std::size_t name_end = line.find('`', 3);
    const std::size_t message_start = line.rfind("| `");
    if (!line.starts_with("| `") || !line.ends_with("` |") || name_end == std::string::npos ||
        message_start == std::string::npos || message_start <= name_end) {
      continue;
    }
    const std::string name = line.substr(3, name_end - 3);
    if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") !=
                            std::string::npos) {
      continue;
    }
    rows.push_back({name, line.substr(message_start + 3, line.size() - 3 - (message_start + 3))});
  }
  return rows;
}

// The first string literal of every fail(...) in the library, and every
// string literal, for the rows no request reaches.
struct SourceStrings {
  std::set<std::string> failure_starts;
  std::vector<std::string> literals;
};

SourceStrings source_strings() {
  SourceStrings strings;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(VANTLE_SOURCE_DIR)) {
    const auto extension = entry.path().extension();
    if (extension != ".cpp" && extension != ".h") {
      continue;
    }
    const std::string text = read_file(entry.path());
    auto skip_space = [&](std::size_t at) {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
      }
      return at;
    };
    // fail("…" or fail(str_cat("…": the message's first literal.
    for (std::size_t at = text.find("fail("); at != std::string::npos;
         at = text.find("fail(", at + 1)) {
      std::size_t quote = skip_space(at + 5);
      if (text.compare(quote, 8, "str_cat(") == 0) {
        quote = skip_space(quote + 8);
      }
      if (quote < text.size() && text[quote] == '"') {
        const std::size_t close = text.find('"', quote + 1);
        if (close != std::string::npos) {
          strings.failure_starts.insert(text.substr(quote + 1, close - quote - 1));
        }
      }
    }
    // Every string literal on one line, escapes kept as written.
    for (std::size_t at = text.find('"'); at != std::string::npos; at = text.find('"', at)) {
      std::size_t end = at + 1;
      while (end < text.size() && text[end] != '"' && text[end] != '\n') {
        end += text[end] == '\\' ? 2 : 1;
      }
      if (end < text.size() && text[end] == '"') {
        strings.literals.push_back(text.substr(at + 1, end - at - 1));
        at = end + 1;
      } else {
        at += 1;
      }
    }
  }
  return strings;
}

// The parts of a documented message between its run-time values (…).
std::vector<std::string> fixed_parts(const std::string& message) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = message.find("…", from)) != std::string::npos;
       from = at + std::string("…").size()) {
    parts.push_back(message.substr(from, at - from));
  }
  parts.push_back(message.substr(from));
  std::erase(parts, "");
  return parts;
}

StreamSpec small_h264() {
  StreamSpec spec;
  spec.width = 64;
  spec.height = 48;
  spec.frame_count = 8;
  return spec;
}

// Runs one export on the request and returns the thread's message; the
// response is released whatever happened.
std::string decode_message(const RuntimeDecodeRequest* request) {
  RuntimeDecodeResponse response{};
  vantle_video_runtime_decode(request, &response);
  std::string message = last_error();
  vantle_video_runtime_free_response(&response);
  return message;
}

std::string indexed_message(const RuntimeDecodeRequest& request) {
  RuntimeIndexedResponse response{};
  vantle_video_runtime_decode_indexed(&request, &response);
  std::string message = last_error();
  vantle_video_runtime_free_indexed_response(&response);
  return message;
}

std::string transcode_message(const RuntimeTranscodeRequest& request) {
  RuntimeTranscodeResponse response{};
  vantle_video_runtime_transcode_h264(&request, &response);
  std::string message = last_error();
  vantle_video_runtime_free_transcode_response(&response);
  return message;
}

// Each named request, built from media FFmpeg's encoders make; an empty
// result means the media could not be made here.
std::map<std::string, std::function<std::string()>> requests() {
  const auto with_stream = [](StreamSpec spec, auto call) {
    return [spec, call]() -> std::string {
      const EncodedStream stream = encode_stream(spec);
      if (!stream.error.empty() || stream.encoder_missing) {
        return "";
      }
      RequestBuilder builder(stream);
      return call(builder);
    };
  };
  StreamSpec changing = small_h264();
  changing.resolution_changes = {{4, 128, 16}};
  StreamSpec four_four_four = small_h264();
  four_four_four.pix_fmt = AV_PIX_FMT_YUV444P;
  // 11 pictures of 4096x4096 count 276824064 YUV 4:2:0 bytes; 10 fit.
  StreamSpec huge = small_h264();
  huge.width = 4096;
  huge.height = 4096;
  huge.frame_count = 11;
  huge.content = PictureContent::Flat;
  return {
      {"null-pointer", [] { return decode_message(nullptr); }},
      {"null-packets",
       [] {
         RuntimeDecodeRequest request{};
         request.packet_count = 1;
         return decode_message(&request);
       }},
      {"null-packet-bytes",
       [] {
         const RuntimePacket packet{nullptr, 10};
         RuntimeDecodeRequest request{};
         request.packets = &packet;
         request.packet_count = 1;
         return decode_message(&request);
       }},
      {"null-positions",
       [] {
         RuntimeDecodeRequest request{};
         request.selected_position_count = 2;
         return decode_message(&request);
       }},
      {"yuv420-of-yuv444p", with_stream(four_four_four,
                                        [](RequestBuilder& builder) {
                                          auto request =
                                              builder.request(RuntimePixelFormat::Yuv420);
                                          return decode_message(&request);
                                        })},
      {"area-over-limit",
       [] {
         // A VP8 key frame tag, its start code, 16383 x 8000.
         const std::vector<std::uint8_t> key_frame{0x10, 0x02, 0x00, 0x9d, 0x01, 0x2a,
                                                   0xff, 0x3f, 0x40, 0x1f, 0x00, 0x00};
         RequestBuilder builder(RuntimeCodec::Vp8, {}, {key_frame});
         const RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Yuv420);
         return decode_message(&request);
       }},
      {"response-over-limit",
       with_stream(small_h264(),
                   [](RequestBuilder& builder) {
                     vantle_video_runtime_set_response_limit(100);
                     const auto request = builder.request(RuntimePixelFormat::Yuv420);
                     std::string message = decode_message(&request);
                     vantle_video_runtime_set_response_limit(std::uint64_t{4} << 30);
                     return message;
                   })},
      {"indexed-av1",
       [] {
         RuntimeDecodeRequest request{};
         request.codec = RuntimeCodec::Av1;
         request.pixel_format = RuntimePixelFormat::Yuv420;
         return indexed_message(request);
       }},
      {"indexed-over-budget", with_stream(huge,
                                          [](RequestBuilder& builder) {
                                            return indexed_message(
                                                builder.request(RuntimePixelFormat::Yuv420));
                                          })},
      {"transcode-no-positions", with_stream(small_h264(),
                                             [](RequestBuilder& builder) {
                                               return transcode_message(
                                                   builder.transcode_request({}));
                                             })},
      {"transcode-rate-zero", with_stream(small_h264(),
                                          [](RequestBuilder& builder) {
                                            return transcode_message(
                                                builder.transcode_request({0}, 0, 1));
                                          })},
      {"transcode-rate-over-i32", with_stream(small_h264(),
                                              [](RequestBuilder& builder) {
                                                return transcode_message(
                                                    builder.transcode_request({0}, 2147483648u));
                                              })},
      {"transcode-size-change",
       with_stream(changing,
                   [](RequestBuilder& builder) {
                     return transcode_message(builder.transcode_request({1, 5}));
                   })},
  };
}

TEST(HostGuideMessages, TableMatchesTheLibrary) {
  const std::vector<Row> rows = guide_rows();
  ASSERT_GT(rows.size(), 20u) << "no message table found in " << VANTLE_HOST_GUIDE;
  const SourceStrings source = source_strings();
  auto cases = requests();
  std::set<std::string> documented;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    documented.insert(row.message);
    if (row.request == "source") {
      for (const std::string& part : fixed_parts(row.message)) {
        EXPECT_TRUE(std::any_of(source.literals.begin(), source.literals.end(),
                                [&](const std::string& l) { return l.find(part) != l.npos; }))
            << "\"" << part << "\" is in no string of the library";
      }
      continue;
    }
    const auto found = cases.find(row.request);
    ASSERT_NE(found, cases.end()) << "the guide names request " << row.request
                                  << ", which this test does not make";
    const std::string message = found->second();
    if (message.empty()) {
      ADD_FAILURE() << row.request << ": its media could not be made";
      continue;
    }
    EXPECT_EQ(message, row.message) << row.request;
    cases.erase(found);
  }
  for (const auto& [name, make] : cases) {
    ADD_FAILURE() << "request " << name << " has no row in the guide";
  }
  // Every message the code can return starts a documented one, or is one of
  // its fixed parts.
  for (const std::string& start : source.failure_starts) {
    EXPECT_TRUE(std::any_of(documented.begin(), documented.end(),
                            [&](const std::string& m) { return m.find(start) != m.npos; }))
        << "\"" << start << "\" has no row in the guide";
  }
}

}  // namespace
}  // namespace vantle
