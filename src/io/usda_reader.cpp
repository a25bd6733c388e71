// Reader of the USDA subset this system needs: the first "def Mesh" block, its faceVertexCounts,
// faceVertexIndices and points arrays and its orientation. Plain substring searches, no
// tokenising; numbers are parsed without the C locale.
#include "decimal_text.hpp"
#include "io_error.hpp"
#include "usd.hpp"
#include "usd_utf8.hpp"

namespace morvane::io {

namespace {

constexpr auto npos = std::string_view::npos;

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

MeshData read_usda_text(std::string_view text) {
  const std::size_t def = text.find("def Mesh");
  if (def == npos) throw IoError::usd_parse("no `def Mesh` found");
  const std::size_t open = text.find('{', def);
  if (open == npos) throw IoError::usd_parse("malformed Mesh block");
  std::size_t depth = 1, close = open + 1;
  for (; close < text.size(); ++close) {
    if (text[close] == '{') ++depth;
    if (text[close] == '}' && --depth == 0) break;
  }
  if (close == text.size()) throw IoError::usd_parse("unclosed Mesh block");
  const std::string_view body = text.substr(open + 1, close - open - 1);

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
  const std::size_t p = block.find(name);
  if (p == npos) return std::nullopt;
  const std::size_t e = block.find('=', p);
  if (e == npos) return std::nullopt;
  const std::size_t o = block.find('[', e);
  if (o == npos) return std::nullopt;
  const std::size_t c = block.find(']', o);
  if (c == npos) return std::nullopt;
  return block.substr(o + 1, c - o - 1);
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
