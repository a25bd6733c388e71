// Which opinion gives a Mesh attribute the value that both USD readers take: the value the reference
// library resolves at the default time when there is one, else the one it resolves at the earliest
// time. Over the prim's specs, strongest first, the default time takes the first spec's default,
// and the earliest time takes the first spec's time samples (their earliest) or, in a spec without
// samples, its default. A block (None) is an opinion that holds no value.
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "io_error.hpp"

namespace morvane::io {

// `default_of(spec)` is the default value of spec number `spec`, `earliest_sample_of(spec)` the
// value of its earliest time sample (none when it has no samples), and `is_block(value)` tells a
// block. Returns the value, or none when no spec gives one; a block where the value is taken throws
// IoError "{name} missing: its value is blocked (None)".
template <class Value, class DefaultOf, class EarliestSampleOf, class IsBlock>
std::optional<Value> resolve_usd_attribute(std::size_t spec_count, std::string_view name, DefaultOf default_of,
                                           EarliestSampleOf earliest_sample_of, IsBlock is_block) {
  for (std::size_t spec = 0; spec < spec_count; ++spec) {
    if (const std::optional<Value> value = default_of(spec)) {
      if (!is_block(*value)) return value;
      break;
    }
  }
  const auto unless_blocked = [&](const Value& value) {
    if (is_block(value)) throw IoError::usd_parse(fmt::format("{} missing: its value is blocked (None)", name));
    return std::optional<Value>(value);
  };
  for (std::size_t spec = 0; spec < spec_count; ++spec) {
    if (const std::optional<Value> sample = earliest_sample_of(spec)) return unless_blocked(*sample);
    if (const std::optional<Value> value = default_of(spec)) return unless_blocked(*value);
  }
  return std::nullopt;
}

}  // namespace morvane::io
