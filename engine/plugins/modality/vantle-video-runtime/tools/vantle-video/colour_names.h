// FFmpeg's names of the colour codes a frame or stream carries, or the number
// itself for a code this FFmpeg does not know.
#pragma once

#include <cstdint>
#include <string>

namespace vantle::tool {

std::string range_name(std::int32_t code);
std::string space_name(std::int32_t code);
std::string primaries_name(std::int32_t code);
std::string transfer_name(std::int32_t code);

}  // namespace vantle::tool
