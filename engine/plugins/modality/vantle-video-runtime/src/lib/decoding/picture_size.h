// A picture's width and height as a stream's headers declare them.
#pragma once

#include <cstdint>

namespace vantle {

struct PictureSize {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

}  // namespace vantle
