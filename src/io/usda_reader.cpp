// Reader of the USDA subset this system needs: the first "def Mesh" block, its faceVertexCounts,
// faceVertexIndices and points arrays (each its default value, else its earliest time sample) and
// its orientation. The block is found skipping strings, asset paths and comments; within it the
// arrays are found by plain substring searches. Numbers are parsed without the C locale.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "core/run_context.hpp"
#include "decimal_text.hpp"
#include "io_error.hpp"
#include "usd.hpp"
#include "utf8.hpp"

namespace morvane::io {

namespace {

constexpr auto npos = std::string_view::npos;

// Long arrays check between pieces of this many values whether the call was asked to stop.
constexpr std::size_t kValuesPerStopCheck = 1 << 16;

// Whether the block assigns the token "leftHanded" to its orientation. Looks at the first
// "orientation" that stands as a word and is followed by "=".
bool is_left_handed(std::string_view block) {
  constexpr std::string_view name = "orientation";
  for (std::size_t p = block.find(name); p != npos; p = block.find(name, p + 1)) {
    const bool word_start = p == 0 || block[p - 1] == ' ' || block[p - 1] == '\t' || block[p - 1] == '\n';
    if (!word_start) continue;
    std::string_view rest = trim_unicode_space(block.substr(p + name.size()));
    if (rest.empty() || rest.front() != '=') continue;
    rest = trim_unicode_space(rest.substr(1));
    for (const std::string_view quoted : {"\"leftHanded\"", "'leftHanded'"}) {
      if (rest.substr(0, quoted.size()) == quoted) return true;
    }
    return false;
  }
  return false;
}

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

// Braces and parentheses may nest this deep; deeper text is refused rather than counted on.
constexpr std::size_t kMaxNesting = 1000;

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The end of the string, asset path or comment that starts at `p` (strings in single, double or
// triple quotes with backslash escapes; asset paths between @ or @@@; comments from # to the end
// of the line), or `p` itself when none starts there. An unclosed one ends with the text.
std::size_t skip_literal(std::string_view text, std::size_t p) {
  const char c = text[p];
  if (c == '#') return std::min(text.find('\n', p), text.size());
  if (c != '"' && c != '\'' && c != '@') return p;
  const std::string_view triple = text.substr(p, 3);
  const bool long_form = triple.size() == 3 && triple[1] == c && triple[2] == c;
  for (std::size_t i = p + (long_form ? 3 : 1); i < text.size(); ++i) {
    if (text[i] == '\\' && c != '@') {
      ++i;
    } else if (long_form ? text.substr(i, 3) == triple : text[i] == c) {
      return i + (long_form ? 3 : 1);
    } else if (!long_form && text[i] == '\n') {
      return i;
    }
  }
  return text.size();
}

// Whether a scan for brackets must look at the character: a bracket, or what starts a literal.
bool stops_scan(char c) {
  static constexpr auto kStops = [] {
    std::array<bool, 256> stops{};
    for (const unsigned char c : std::string_view("{}()\"'@#")) stops[c] = true;
    return stops;
  }();
  return kStops[static_cast<unsigned char>(c)];
}

// One past the bracket that closes the one at `open`, outside literals; npos when the text ends
// first.
std::size_t skip_nested(std::string_view text, std::size_t open, char opening, char closing) {
  std::size_t depth = 0;
  for (std::size_t p = open; p < text.size();) {
    if (!stops_scan(text[p])) {
      ++p;
      continue;
    }
    if (const std::size_t end = skip_literal(text, p); end != p) {
      p = end;
      continue;
    }
    if (text[p] == opening && ++depth > kMaxNesting) {
      throw IoError::usd_parse(fmt::format("Mesh block nested deeper than {} levels", kMaxNesting));
    }
    if (text[p] == closing && --depth == 0) return p + 1;
    ++p;
  }
  return npos;
}

// Where the first "def Mesh" outside literals stands, as words of their own.
std::size_t find_mesh_definition(std::string_view text) {
  constexpr std::string_view kDef = "def Mesh";
  for (std::size_t p = 0; p < text.size();) {
    if (const std::size_t end = skip_literal(text, p); end != p) {
      p = end;
      continue;
    }
    const std::size_t after = p + kDef.size();
    if (text.substr(p, kDef.size()) == kDef && (p == 0 || !is_name_char(text[p - 1])) &&
        (after == text.size() || !is_name_char(text[after]))) {
      return p;
    }
    ++p;
  }
  return npos;
}

// The text strictly between the braces of the mesh block. Prim metadata in parentheses between
// the prim's name and its body, with dictionaries in braces of its own, is skipped.
std::string_view mesh_body(std::string_view text) {
  const std::size_t def = find_mesh_definition(text);
  if (def == npos) throw IoError::usd_parse("no `def Mesh` found");
  std::size_t open = def + 8;
  while (open < text.size() && text[open] != '{') {
    if (const std::size_t end = skip_literal(text, open); end != open) {
      open = end;
    } else if (text[open] == '(') {
      open = skip_nested(text, open, '(', ')');
    } else {
      ++open;
    }
  }
  if (open >= text.size()) throw IoError::usd_parse("malformed Mesh block");
  const std::size_t close = skip_nested(text, open, '{', '}');
  if (close == npos) throw IoError::usd_parse("unclosed Mesh block");
  return text.substr(open + 1, close - open - 2);
}

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Without a default value, the array of the earliest time sample in
// "name.timeSamples = { time: [...], ... }"; samples that hold no array (None) are passed over.
std::optional<std::string_view> earliest_sample_array(std::string_view block, std::string_view name) {
  const std::string key = std::string(name) + ".timeSamples";
  const std::size_t p = block.find(key);
  if (p == npos) return std::nullopt;
  const std::size_t e = block.find('=', p + key.size());
  const std::size_t open = e == npos ? npos : block.find('{', e);
  if (open == npos) return std::nullopt;
  std::optional<std::string_view> earliest;
  double earliest_time = 0.0;
  for (std::size_t q = open + 1;;) {
    const std::size_t colon = block.find_first_of(":}", q);
    if (colon == npos) return std::nullopt;
    if (block[colon] == '}') return earliest;
    const std::optional<double> time = parse_decimal_double(trim_unicode_space(block.substr(q, colon - q)));
    if (!time) return std::nullopt;
    std::size_t v = colon + 1;
    while (v < block.size() && is_ascii_space(block[v])) ++v;
    std::optional<std::string_view> value;
    if (v < block.size() && block[v] == '[') {
      const std::size_t close = block.find(']', v);
      if (close == npos) return std::nullopt;
      value = block.substr(v + 1, close - v - 1);
      v = close + 1;
    }
    const std::size_t next = block.find_first_of(",}", v);
    if (next == npos) return std::nullopt;
    if (value && !std::isnan(*time) && (!earliest || *time < earliest_time)) earliest = value, earliest_time = *time;
    q = block[next] == ',' ? next + 1 : next;
  }
}

MeshData read_usda_text(std::string_view text) {
  const std::string_view body = mesh_body(text);

  const auto counts = parse_int_array(body, "faceVertexCounts");
  if (!counts) throw IoError::usd_parse("faceVertexCounts missing");
  const auto indices = parse_int_array(body, "faceVertexIndices");
  if (!indices) throw IoError::usd_parse("faceVertexIndices missing");
  auto points = parse_point_array(body);
  if (!points) throw IoError::usd_parse("points missing");

  MeshData mesh;
  mesh.triangles = polygons_to_triangles(*counts, *indices, points->size(), is_left_handed(body), nullptr);
  mesh.positions = std::move(*points);
  return mesh;
}

}  // namespace

std::optional<std::string_view> find_attribute_array(std::string_view block, std::string_view name) {
  // The default value: the first occurrence of the name that is not followed by "." (as in
  // "points.timeSamples"), then "=", "[" and "]".
  std::size_t p = block.find(name);
  while (p != npos && p + name.size() < block.size() && block[p + name.size()] == '.') p = block.find(name, p + 1);
  if (p != npos) {
    const std::size_t e = block.find('=', p);
    if (e == npos) return std::nullopt;
    const std::size_t o = block.find('[', e);
    if (o == npos) return std::nullopt;
    const std::size_t c = block.find(']', o);
    if (c == npos) return std::nullopt;
    return block.substr(o + 1, c - o - 1);
  }
  return earliest_sample_array(block, name);
}

std::optional<std::vector<int64_t>> parse_int_array(std::string_view block, std::string_view name) {
  const auto array = find_attribute_array(block, name);
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

std::optional<std::vector<Vec3>> parse_point_array(std::string_view block) {
  const auto array = find_attribute_array(block, "points");
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
  return read_usda_text(join_lines(bytes));
}

}  // namespace morvane::io
