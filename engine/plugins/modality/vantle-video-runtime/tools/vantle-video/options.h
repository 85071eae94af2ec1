// Command-line options of one subcommand: a table of what it accepts, parsed
// into named values, and the help text made from the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace vantle::tool {

enum class ValueKind {
  None,      // a flag
  Required,  // --name VALUE or --name=VALUE
  Optional,  // --name, --name=VALUE, or --name VALUE when VALUE looks like `value_pattern`
};

struct OptionSpec {
  const char* name;        // "--group"
  const char* short_name;  // "-o", or nullptr
  ValueKind kind;
  const char* value_name;  // "N", shown in the help
  const char* help;
};

struct CommandSpec {
  const char* name;
  const char* synopsis;     // after "vantle-video NAME "
  const char* description;  // one paragraph
  std::span<const OptionSpec> options;
};

class ParsedOptions {
 public:
  bool has(const std::string& name) const { return values_.contains(name); }
  // The value given to an option; empty for a flag or an optional value left out.
  std::optional<std::string> value(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  friend Result<ParsedOptions> parse_options(const CommandSpec&, std::span<char* const>);
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Parses the arguments after the subcommand name. Unknown options and missing
// values are errors.
Result<ParsedOptions> parse_options(const CommandSpec& spec, std::span<char* const> arguments);

// The --help text of one subcommand.
std::string help_text(const CommandSpec& spec);

// Value parsers; each error names the option.
Result<std::uint64_t> parse_unsigned(const std::string& option, const std::string& text);
Result<std::vector<std::size_t>> parse_positions(const std::string& text);
// "WxH", both at least 1.
Result<std::pair<std::uint32_t, std::uint32_t>> parse_size(const std::string& text);
// "30000/1001" or "25".
Result<std::pair<std::uint32_t, std::uint32_t>> parse_rate(const std::string& text);

}  // namespace vantle::tool
