// Reader of the USDA subset this system needs: the first Mesh prim of the layer's traversal, its
// faceVertexCounts, faceVertexIndices and points arrays (each its value at the default time, else at
// the earliest time sample) and its orientation, each attribute found by its whole name among that
// prim's own specs. Comments are blanked before the layer is parsed, so that the values, kept as
// text, parse without them. Numbers are parsed without the C locale.
#include <cmath>
#include <span>
#include <string>

#include "core/run_context.hpp"
#include "decimal_text.hpp"
#include "io_error.hpp"
#include "usd.hpp"
#include "usd_attribute_value.hpp"
#include "usda_layer.hpp"
#include "utf8.hpp"

namespace morvane::io {

namespace {

constexpr auto npos = std::string_view::npos;

// Long arrays check between pieces of this many values whether the call was asked to stop.
constexpr std::size_t kValuesPerStopCheck = 1 << 16;

// The text as the line reader assembles it: every line with its "\n" or "\r\n" end replaced by
// one "\n", the last line given a "\n" too.
std::string join_lines(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() + 1);
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    const bool has_newline = end != npos;
    if (!has_newline) end = bytes.size();
    std::size_t line_end = end;
    if (has_newline && line_end > start && bytes[line_end - 1] == '\r') --line_end;
    text.append(bytes.substr(start, line_end - start));
    text += '\n';
    start = has_newline ? end + 1 : end;
  }
  return text;
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The value of the earliest time sample in "{ time: value, ... }": an array with its brackets, or
// the text up to the next sample (None for a block). None when the samples hold none or their
// times do not parse.
std::optional<std::string_view> earliest_sample(std::string_view block) {
  std::optional<std::string_view> earliest;
  double earliest_time = 0.0;
  for (std::size_t q = 1;;) {
    const std::size_t colon = block.find_first_of(":}", q);
    if (colon == npos) return std::nullopt;
    if (block[colon] == '}') return earliest;
    const std::optional<double> time = parse_decimal_double(trim_unicode_space(block.substr(q, colon - q)));
    if (!time) return std::nullopt;
    std::size_t v = colon + 1;
    while (v < block.size() && is_ascii_space(block[v])) ++v;
    std::size_t value_end = v;
    if (v < block.size() && block[v] == '[') {
      const std::size_t close = block.find(']', v);
      if (close == npos) return std::nullopt;
      value_end = close + 1;
    }
    const std::size_t next = block.find_first_of(",}", value_end);
    if (next == npos) return std::nullopt;
    const std::string_view value =
        value_end > v ? block.substr(v, value_end - v) : trim_unicode_space(block.substr(v, next - v));
    if (!std::isnan(*time) && (!earliest || *time < earliest_time)) earliest = value, earliest_time = *time;
    q = block[next] == ',' ? next + 1 : next;
  }
}

// The value text of the mesh's attribute `name`, resolved over its specs (strongest first).
std::optional<std::string_view> attribute_value(const UsdaLayer& layer, std::span<const UsdSpecId> specs,
                                                std::string_view name) {
  const auto value_of = [&](std::size_t spec, bool time_samples) -> const UsdaToken* {
    return layer.attribute_value(specs[spec], name, time_samples);
  };
  return resolve_usd_attribute<std::string_view>(
      specs.size(), name,
      [&](std::size_t spec) -> std::optional<std::string_view> {
        const UsdaToken* value = value_of(spec, false);
        return value ? std::optional(value->text) : std::nullopt;
      },
      [&](std::size_t spec) -> std::optional<std::string_view> {
        const UsdaToken* samples = value_of(spec, true);
        return samples ? earliest_sample(samples->text) : std::nullopt;
      },
      [](std::string_view value) { return value == "None"; });
}

// The text between the brackets of an array value; none for any other value.
std::optional<std::string_view> array_contents(std::string_view value) {
  if (value.size() < 2 || value.front() != '[' || value.back() != ']') return std::nullopt;
  return value.substr(1, value.size() - 2);
}

bool is_left_handed(const UsdaLayer& layer, std::span<const UsdSpecId> specs) {
  for (const UsdSpecId spec : specs) {
    if (const UsdaToken* value = layer.attribute_value(spec, "orientation", false)) {
      return value->kind == UsdaTokenKind::String && string_contents(*value) == "leftHanded";
    }
  }
  return false;
}

MeshData read_usda_text(std::string_view text) {
  UsdaLayer layer(text);
  const std::vector<UsdSpecId> mesh_specs = find_first_mesh(layer);
  if (mesh_specs.empty()) throw IoError::usd_parse("no `def Mesh` found");
  const auto array = [&](std::string_view name) {
    return attribute_value(layer, mesh_specs, name).value_or(std::string_view());
  };

  const auto counts = parse_int_array(array("faceVertexCounts"));
  if (!counts) throw IoError::usd_parse("faceVertexCounts missing");
  const auto indices = parse_int_array(array("faceVertexIndices"));
  if (!indices) throw IoError::usd_parse("faceVertexIndices missing");
  auto points = parse_point_array(array("points"));
  if (!points) throw IoError::usd_parse("points missing");

  MeshData mesh;
  mesh.triangles =
      polygons_to_triangles(*counts, *indices, points->size(), is_left_handed(layer, mesh_specs), nullptr);
  mesh.positions = std::move(*points);
  return mesh;
}

}  // namespace

std::optional<std::vector<int64_t>> parse_int_array(std::string_view value) {
  const auto array = array_contents(value);
  if (!array) return std::nullopt;
  std::vector<int64_t> values;
  std::size_t start = 0;
  while (start <= array->size()) {
    std::size_t comma = array->find(',', start);
    if (comma == npos) comma = array->size();
    const std::string_view piece = trim_unicode_space(array->substr(start, comma - start));
    if (!piece.empty()) {
      if (values.size() % kValuesPerStopCheck == 0) throw_if_stopped();
      const auto value = parse_decimal_int64(piece);
      if (!value) return std::nullopt;
      values.push_back(*value);
    }
    start = comma + 1;
  }
  return values;
}

std::optional<std::vector<Vec3>> parse_point_array(std::string_view value) {
  const auto array = array_contents(value);
  if (!array) return std::nullopt;
  std::vector<Vec3> points;
  std::size_t pos = 0;
  while (true) {
    const std::size_t open = array->find('(', pos);
    if (open == npos) return points;
    const std::size_t close = array->find(')', open);
    if (close == npos) return std::nullopt;
    if (points.size() % kValuesPerStopCheck == 0) throw_if_stopped();
    const std::string_view tuple = array->substr(open + 1, close - open - 1);
    Vec3 p{};
    std::size_t start = 0, k = 0;
    for (; k < 3; ++k) {
      std::size_t comma = tuple.find(',', start);
      if (k < 2 && comma == npos) return std::nullopt;
      if (k == 2) {
        if (comma != npos) return std::nullopt;  // a fourth piece
        comma = tuple.size();
      }
      const auto value = parse_decimal_double(trim_unicode_space(tuple.substr(start, comma - start)));
      if (!value) return std::nullopt;
      p[k] = *value;
      start = comma + 1;
    }
    points.push_back(p);
    pos = close + 1;
  }
}

MeshData read_usda_bytes(std::string_view bytes) {
  if (!is_valid_utf8(bytes)) throw IoError::io("stream did not contain valid UTF-8");
  std::string text = join_lines(bytes);
  blank_comments(text);
  return read_usda_text(text);
}

}  // namespace morvane::io
