#include "options.h"
#include "common/result.h"

#include <charconv>
#include <cstring>

namespace vantle::tool {

namespace {

const OptionSpec* find_option(const CommandSpec& spec, const std::string& name) {
  for (const OptionSpec& option : spec.options) {
    if (name == option.name || (option.short_name != nullptr && name == option.short_name)) {
      return &option;
    }
  }
  return nullptr;
}

// An optional value is taken from the next argument only when it cannot be a
// file name: it starts with a digit (sizes such as 640x360).
bool looks_like_value(const char* argument) {
  return argument[0] >= '0' && argument[0] <= '9';
}

}  // namespace

std::optional<std::string> ParsedOptions::value(const std::string& name) const {
  auto found = values_.find(name);
  if (found == values_.end()) {
    return std::nullopt;
  }
  return found->second;
}

Result<ParsedOptions> parse_options(const CommandSpec& spec, std::span<char* const> arguments) {
  ParsedOptions parsed;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (argument.size() < 2 || argument[0] != '-') {
      parsed.positional_.push_back(argument);
      continue;
    }
    std::optional<std::string> inline_value;
    if (auto equals = argument.find('='); equals != std::string::npos) {
      inline_value = argument.substr(equals + 1);
      argument.resize(equals);
    }
    const OptionSpec* option = find_option(spec, argument);
    if (option == nullptr) {
      return vantle::fail("unknown option " + argument + " for " + spec.name +
                          " (see vantle-video " + spec.name + " --help)");
    }
    std::string value;
    switch (option->kind) {
      case ValueKind::None:
        if (inline_value) {
          return vantle::fail(std::string(option->name) + " takes no value");
        }
        break;
      case ValueKind::Required:
        if (inline_value) {
          value = *inline_value;
        } else if (i + 1 < arguments.size()) {
          value = arguments[++i];
        } else {
          return vantle::fail(std::string(option->name) + " needs a value (" + option->value_name +
                              ")");
        }
        break;
      case ValueKind::Optional:
        if (inline_value) {
          value = *inline_value;
        } else if (i + 1 < arguments.size() && looks_like_value(arguments[i + 1])) {
          value = arguments[++i];
        }
        break;
    }
    parsed.values_[option->name] = value;
  }
  return parsed;
}

std::string help_text(const CommandSpec& spec) {
  std::string text = std::string("usage: vantle-video ") + spec.name + " " + spec.synopsis +
                     "\n\n" + spec.description + "\n\noptions:\n";
  for (const OptionSpec& option : spec.options) {
    std::string left = "  ";
    if (option.short_name != nullptr) {
      left += std::string(option.short_name) + ", ";
    }
    left += option.name;
    if (option.kind == ValueKind::Required) {
      left += std::string(" ") + option.value_name;
    } else if (option.kind == ValueKind::Optional) {
      left += std::string(" [") + option.value_name + "]";
    }
    if (left.size() < 26) {
      left.resize(26, ' ');
    } else {
      left += "\n" + std::string(26, ' ');
    }
    text += left + option.help + "\n";
  }
  return text;
}

Result<std::uint64_t> parse_unsigned(const std::string& option, const std::string& text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return vantle::fail(option + ": not an unsigned number: '" + text + "'");
  }
  return value;
}

Result<std::vector<std::size_t>> parse_positions(const std::string& text) {
  std::vector<std::size_t> positions;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    auto position = parse_unsigned("--positions", text.substr(start, comma - start));
    if (!position) {
      return vantle::fail(position.error());
    }
    positions.push_back(*position);
    start = comma + 1;
  }
  return positions;
}

Result<std::pair<std::uint32_t, std::uint32_t>> parse_size(const std::string& text) {
  const std::size_t x = text.find('x');
  auto width = parse_unsigned("--rgb", text.substr(0, x));
  auto height = x == std::string::npos ? width : parse_unsigned("--rgb", text.substr(x + 1));
  if (x == std::string::npos || !width || !height || *width == 0 || *height == 0 ||
      *width > UINT32_MAX || *height > UINT32_MAX) {
    return vantle::fail("--rgb: expected a size WxH such as 640x360, got '" + text + "'");
  }
  return std::pair{static_cast<std::uint32_t>(*width), static_cast<std::uint32_t>(*height)};
}

Result<std::pair<std::uint32_t, std::uint32_t>> parse_rate(const std::string& text) {
  const std::size_t slash = text.find('/');
  auto num = parse_unsigned("--fps", text.substr(0, slash));
  auto den = slash == std::string::npos ? Result<std::uint64_t>(1)
                                        : parse_unsigned("--fps", text.substr(slash + 1));
  if (!num || !den || *num > UINT32_MAX || *den > UINT32_MAX) {
    return vantle::fail("--fps: expected a rate such as 30000/1001 or 25, got '" + text + "'");
  }
  return std::pair{static_cast<std::uint32_t>(*num), static_cast<std::uint32_t>(*den)};
}

}  // namespace vantle::tool
