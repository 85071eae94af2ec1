// Message building: values are written in plain decimal or as given.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace vantle {

namespace detail {
inline void append_text(std::string& out, std::string_view text) { out.append(text); }
inline void append_text(std::string& out, const char* text) { out.append(text); }
inline void append_text(std::string& out, const std::string& text) { out.append(text); }
template <std::integral T>
void append_text(std::string& out, T value) {
  out.append(std::to_string(value));
}
}  // namespace detail

// Concatenates texts and integers into one message.
template <typename... Parts>
std::string str_cat(const Parts&... parts) {
  std::string out;
  (detail::append_text(out, parts), ...);
  return out;
}

}  // namespace vantle
