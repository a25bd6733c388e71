// The OBJ reader parses the text itself, so that every number it takes is checked whole: a value
// that does not parse is an error of its line's kind, never a zero or a prefix read in silence.
#include "obj.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/run_context.hpp"
#include "common/text_format.hpp"
#include "decimal_text.hpp"
#include "file_reader.hpp"
#include "file_writer.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

// Resolved index of one face corner. Texture coordinate and normal indices may be absent; a
// vertex index that can name no entry (0, negative beyond the start of the list, or beyond 32
// bits) is kept as kInvalid and refused when the model is merged, like any other index past the
// end of its list.
constexpr uint32_t kAbsent = UINT32_MAX;
constexpr uint32_t kInvalid = UINT32_MAX - 1;

constexpr std::size_t kReadPiece = std::size_t{1} << 20;

struct Corner {
  uint32_t v;
  uint32_t vt;
  uint32_t vn;
};

// OBJ indices are 1-based, or relative to the end of the list read so far when negative; 0 names
// no entry.
uint32_t resolve_index(int64_t raw, std::size_t count_so_far) {
  const int64_t index = raw > 0 ? raw - 1 : raw < 0 ? static_cast<int64_t>(count_so_far) + raw : -1;
  return index < 0 || index >= int64_t{kInvalid} ? kInvalid : static_cast<uint32_t>(index);
}

// Collects what the parser reads: the file's lists, and per model (object or group) its faces.
// Each model gets its own position list: the vertices its faces use, in first-use order, so the
// indices of a model are shifted by the vertex count of the models before it. Polygons are
// triangulated as fans from their first corner. A face is merged as soon as the entries it names
// exist; from a face that names one defined later in the file on, the model's faces wait for its
// end, so that such an entry is found and the first-use order is kept.
class ObjBuilder {
 public:
  // Merged indices are stored as u32, so no more vertices than that are ever stored.
  explicit ObjBuilder(const MeshLimits& limits)
      : limits_{std::min<uint64_t>(limits.vertices, UINT32_MAX), limits.triangles} {}

  void add_position(float x, float y, float z) { positions_.insert(positions_.end(), {x, y, z}); }
  void add_texcoord(float u, float v) { texcoords_.insert(texcoords_.end(), {u, v}); }
  void add_normal(float x, float y, float z) { normals_.insert(normals_.end(), {x, y, z}); }

  std::size_t position_count() const { return positions_.size() / 3; }
  std::size_t texcoord_count() const { return texcoords_.size() / 2; }
  std::size_t normal_count() const { return normals_.size() / 3; }

  void add_face(std::span<const Corner> corners);

  // Merges the faces still waiting and starts a new model.
  void end_model();

  MeshData finish();

 private:
  bool defined(const Corner& corner) const;
  void merge_face(std::span<const Corner> corners);
  void merge_triangle(const Corner& a, const Corner& b, const Corner& c);
  uint32_t merged_vertex(uint32_t v);
  Uv texcoord_of(uint32_t vt) const;
  Vec3 normal_of(uint32_t vn) const;
  bool storing() const { return vertex_count_ <= limits_.vertices && triangle_count_ <= limits_.triangles; }

  MeshLimits limits_;
  std::vector<float> positions_;
  std::vector<float> texcoords_;
  std::vector<float> normals_;

  // Faces of the current model that wait for its end.
  std::vector<Corner> waiting_corners_;
  std::vector<uint32_t> waiting_sizes_;

  // Merged index of each file vertex, valid for the current model when at least model_start_.
  std::vector<uint64_t> merged_index_;
  uint64_t model_start_ = 0;
  bool any_model_ = false;

  // The counts go on after the limits are passed, so the error reports the whole file's counts
  // without the lists being stored.
  uint64_t vertex_count_ = 0;
  uint64_t triangle_count_ = 0;
  MeshData mesh_;
};

bool ObjBuilder::defined(const Corner& corner) const {
  return corner.v < position_count() && (corner.vt == kAbsent || corner.vt < texcoord_count()) &&
         (corner.vn == kAbsent || corner.vn < normal_count());
}

void ObjBuilder::add_face(std::span<const Corner> corners) {
  // Points and lines written as "f" lines carry no triangle.
  if (corners.size() < 3) return;
  any_model_ = true;
  const bool ready = std::all_of(corners.begin(), corners.end(), [&](const Corner& c) { return defined(c); });
  if (ready && waiting_sizes_.empty()) {
    merge_face(corners);
    return;
  }
  waiting_corners_.insert(waiting_corners_.end(), corners.begin(), corners.end());
  waiting_sizes_.push_back(static_cast<uint32_t>(corners.size()));
}

void ObjBuilder::end_model() {
  std::size_t first = 0;
  for (const uint32_t size : waiting_sizes_) {
    merge_face(std::span(waiting_corners_).subspan(first, size));
    first += size;
  }
  waiting_corners_.clear();
  waiting_sizes_.clear();
  model_start_ = vertex_count_;
}

void ObjBuilder::merge_face(std::span<const Corner> corners) {
  for (std::size_t k = 2; k < corners.size(); ++k) merge_triangle(corners[0], corners[k - 1], corners[k]);
}

void ObjBuilder::merge_triangle(const Corner& a, const Corner& b, const Corner& c) {
  const Corner* corners[3] = {&a, &b, &c};
  Tri triangle;
  Uv uvs[3];
  Vec3 normals[3];
  bool has_uv = false, has_normal = false;
  for (int k = 0; k < 3; ++k) {
    triangle[k] = merged_vertex(corners[k]->v);
    uvs[k] = texcoord_of(corners[k]->vt);
    normals[k] = normal_of(corners[k]->vn);
    // Texture coordinate and normal indices are ignored while the file has no such list at all.
    has_uv = has_uv || (corners[k]->vt != kAbsent && !texcoords_.empty());
    has_normal = has_normal || (corners[k]->vn != kAbsent && !normals_.empty());
  }
  // The first triangle with an attribute gives zeros to every corner merged before it.
  if (has_uv && !mesh_.uvs) mesh_.uvs.emplace(mesh_.triangles.size() * 3, Uv{0.0f, 0.0f});
  if (has_normal && !mesh_.normals) mesh_.normals.emplace(mesh_.triangles.size() * 3, Vec3{0.0, 0.0, 0.0});
  ++triangle_count_;
  if (!storing()) return;
  mesh_.triangles.push_back(triangle);
  if (mesh_.uvs) mesh_.uvs->insert(mesh_.uvs->end(), uvs, uvs + 3);
  if (mesh_.normals) mesh_.normals->insert(mesh_.normals->end(), normals, normals + 3);
}

uint32_t ObjBuilder::merged_vertex(uint32_t v) {
  if (v >= position_count()) throw IoError::obj_parse("face vertex index out of bounds");
  if (v >= merged_index_.size()) merged_index_.resize(position_count(), UINT64_MAX);
  uint64_t& merged = merged_index_[v];
  if (merged == UINT64_MAX || merged < model_start_) {
    merged = vertex_count_++;
    if (storing()) {
      const float* p = &positions_[std::size_t{v} * 3];
      mesh_.positions.push_back({p[0], p[1], p[2]});
    }
  }
  // Only stored while the vertex count is within its limit, which fits 32 bits.
  return static_cast<uint32_t>(merged);
}

Uv ObjBuilder::texcoord_of(uint32_t vt) const {
  if (vt == kAbsent || texcoords_.empty()) return {0.0f, 0.0f};
  if (vt >= texcoords_.size() / 2) throw IoError::obj_parse("face texcoord index out of bounds");
  return {texcoords_[std::size_t{vt} * 2], texcoords_[std::size_t{vt} * 2 + 1]};
}

Vec3 ObjBuilder::normal_of(uint32_t vn) const {
  if (vn == kAbsent || normals_.empty()) return {0.0, 0.0, 0.0};
  if (vn >= normals_.size() / 3) throw IoError::obj_parse("face normal index out of bounds");
  const float* n = &normals_[std::size_t{vn} * 3];
  return {n[0], n[1], n[2]};
}

MeshData ObjBuilder::finish() {
  end_model();
  if (!any_model_) throw IoError::obj_parse("no meshes found in OBJ file");
  check_limits(vertex_count_, triangle_count_, limits_);
  return std::move(mesh_);
}

bool is_digit(char c) { return static_cast<unsigned>(c - '0') <= 9; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }
bool ends_word(char c) { return is_blank(c) || is_line_end(c); }

// Whether a double lies exactly halfway between two adjacent floats (normal range), where
// rounding it to float could differ from rounding the decimal text directly.
bool is_float_midpoint(double value) {
  constexpr uint64_t kBelowFloat = (uint64_t{1} << 29) - 1;  // fraction bits a float does not keep
  return (std::bit_cast<uint64_t>(value) & kBelowFloat) == (uint64_t{1} << 28);
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A read position that walks the text line by line and word by word. Lines end in "\n", "\r\n"
// or a lone "\r"; words are separated by blanks. Numbers are parsed where they stand.
class TextCursor {
 public:
  TextCursor(std::string_view text, bool start_of_file) : p_(text.data()), end_(text.data() + text.size()) {
    // A byte-order mark is no part of the first line.
    if (start_of_file && text.starts_with("\xEF\xBB\xBF")) p_ += 3;
  }

  bool done() const { return p_ == end_; }

  // The next word of the line; empty at its end.
  std::string_view word() {
    skip_blanks();
    const char* start = p_;
    while (p_ < end_ && !ends_word(*p_)) ++p_;
    return {start, static_cast<std::size_t>(p_ - start)};
  }

  bool blank_follows() const { return p_ < end_ && is_blank(*p_); }

  bool line_ends() {
    skip_blanks();
    return p_ == end_ || is_line_end(*p_);
  }

  // Moves past the end of the line, whatever is left on it.
  void next_line() {
    while (p_ < end_ && !is_line_end(*p_)) ++p_;
    if (p_ < end_ && *p_ == '\r') ++p_;
    if (p_ < end_ && *p_ == '\n') ++p_;
  }

  std::optional<float> number();
  std::optional<Corner> corner(const ObjBuilder& builder);

 private:
  void skip_blanks() {
    while (p_ < end_ && is_blank(*p_)) ++p_;
  }
  bool index_field(std::optional<int64_t>& value);

  const char* p_;
  const char* const end_;
};

// The next word as a number, as parse_decimal_float reads it. Plain decimals of up to 19 digits,
// nearly every coordinate of a file, are converted here: the digits divided by a power of ten of
// at most 22 is exact in double precision (both are exact and the division rounds once), and so
// is its rounding to float unless it lies on a float midpoint.
std::optional<float> TextCursor::number() {
  skip_blanks();
  const char* q = p_;
  const bool negative = q < end_ && *q == '-';
  if (q < end_ && (*q == '-' || *q == '+')) ++q;
  uint64_t mantissa = 0;  // wraps beyond 19 digits, which the count excludes
  std::size_t digits = 0, scale = 0;
  for (; q < end_ && is_digit(*q); ++q, ++digits) mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
  if (q < end_ && *q == '.') {
    for (++q; q < end_ && is_digit(*q); ++q, ++scale) mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
    digits += scale;
  }
  if (digits > 0 && digits <= 19 && (q == end_ || ends_word(*q)) && mantissa <= (uint64_t{1} << 53) && scale <= 22) {
    const double exact = static_cast<double>(mantissa) / kPowersOfTen[scale];
    if (!is_float_midpoint(exact)) {
      p_ = q;
      const auto value = static_cast<float>(exact);
      return negative ? -value : value;
    }
  }
  return parse_decimal_float(word());
}

// One field of a face item, up to the next "/" or the end of the word: an optional sign and
// digits as a whole 64-bit integer, or nothing when the field is empty. False when it is neither.
bool TextCursor::index_field(std::optional<int64_t>& value) {
  const char* start = p_;
  const bool negative = p_ < end_ && *p_ == '-';
  if (p_ < end_ && (*p_ == '-' || *p_ == '+')) ++p_;
  const char* digits = p_;
  int64_t magnitude = 0;  // 18 digits cannot overflow; longer fields are parsed whole below
  for (; p_ < end_ && is_digit(*p_) && p_ - digits < 18; ++p_) magnitude = magnitude * 10 + (*p_ - '0');
  while (p_ < end_ && is_digit(*p_)) ++p_;
  if (p_ < end_ && *p_ != '/' && !ends_word(*p_)) return false;
  if (p_ == start) {
    value.reset();
    return true;
  }
  if (p_ == digits) return false;  // a sign alone
  if (p_ - digits > 18) {
    value = parse_decimal_int64(std::string_view(start, static_cast<std::size_t>(p_ - start)));
    return value.has_value();
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

// The next face item, "v", "v/vt", "v//vn" or "v/vt/vn", resolved against the lists read so far.
// A texture coordinate or normal index may be empty (absent) but never 0.
std::optional<Corner> TextCursor::corner(const ObjBuilder& builder) {
  std::optional<int64_t> v, vt, vn;
  if (!index_field(v) || !v) return std::nullopt;
  if (p_ < end_ && *p_ == '/') {
    ++p_;
    if (!index_field(vt) || vt == 0) return std::nullopt;
    if (p_ < end_ && *p_ == '/') {
      ++p_;
      if (!index_field(vn) || vn == 0 || (p_ < end_ && *p_ == '/')) return std::nullopt;
    }
  }
  return Corner{resolve_index(*v, builder.position_count()),
                vt ? resolve_index(*vt, builder.texcoord_count()) : kAbsent,
                vn ? resolve_index(*vn, builder.normal_count()) : kAbsent};
}

// The next N words as numbers; words after them (a "w", colours, a comment) are not read.
template <std::size_t N>
bool read_numbers(TextCursor& cursor, float (&values)[N]) {
  for (float& value : values) {
    const std::optional<float> parsed = cursor.number();
    if (!parsed) return false;
    value = *parsed;
  }
  return true;
}

void parse_line(TextCursor& cursor, ObjBuilder& builder, std::vector<Corner>& face) {
  const std::string_view keyword = cursor.word();
  if (keyword == "v") {
    float p[3];
    if (!read_numbers(cursor, p)) throw IoError::obj_parse("position parse error");
    builder.add_position(p[0], p[1], p[2]);
  } else if (keyword == "vt") {
    // u, then an optional v (0 when absent) and w (not read).
    float u[1];
    float v[1] = {0.0f};
    if (!read_numbers(cursor, u) || (!cursor.line_ends() && !read_numbers(cursor, v))) {
      throw IoError::obj_parse("texcoord parse error");
    }
    builder.add_texcoord(u[0], v[0]);
  } else if (keyword == "vn") {
    float n[3];
    if (!read_numbers(cursor, n)) throw IoError::obj_parse("normal parse error");
    builder.add_normal(n[0], n[1], n[2]);
  } else if (keyword == "f") {
    face.clear();
    while (!cursor.line_ends()) {
      const std::optional<Corner> corner = cursor.corner(builder);
      if (!corner) throw IoError::obj_parse("face parse error");
      face.push_back(*corner);
    }
    builder.add_face(face);
  } else if ((keyword == "o" || keyword == "g") && cursor.blank_follows()) {
    // A bare "o" or "g" line, with nothing after its keyword, starts no model.
    builder.end_model();
  }
  // Other lines ("l", "p", "s", materials, comments, unknown statements) carry no triangle.
}

// Parses whole lines; `start_of_file` tells whether a byte-order mark may lead them.
void parse_lines(std::string_view text, bool start_of_file, ObjBuilder& builder, std::vector<Corner>& face) {
  TextCursor cursor(text, start_of_file);
  while (!cursor.done()) {
    parse_line(cursor, builder, face);
    cursor.next_line();
  }
}

// One line per entry: the keyword, then each value with `digits` decimals, or more where the value
// needs them to read back as the float nearest to it.
template <class T, std::size_t N>
void write_lines(FileWriter& out, std::string& line, std::string_view keyword,
                 std::span<const std::array<T, N>> entries, int digits) {
  for (const std::array<T, N>& entry : entries) {
    line.assign(keyword);
    for (const T value : entry) {
      line += ' ';
      append_fixed_float(line, value, digits);
    }
    line += '\n';
    out.write(line);
  }
}

}  // namespace

MeshData parse_obj(std::string_view text, const MeshLimits& limits) {
  ObjBuilder builder(limits);
  std::vector<Corner> face;
  parse_lines(text, true, builder, face);  // "mtllib" lines are skipped: no other file is ever opened
  return builder.finish();
}

MeshData read_obj(const std::string& path) {
  FileInput file(path);
  if (file.status().stage != FileReadStatus::Stage::Ok) throw IoError::obj_parse("open file failed");
  // The file is parsed piece by piece, each piece ending with a line, so that it is never held
  // whole beside the lists made from it.
  ObjBuilder builder(MeshLimits{});
  std::vector<Corner> face;
  std::vector<char> buffer(kReadPiece);
  std::size_t kept = 0;  // bytes of an unfinished line at the front of the buffer
  bool start_of_file = true;
  for (;;) {
    throw_if_stopped();
    if (kept == buffer.size()) buffer.resize(2 * buffer.size());  // a line longer than the buffer
    const std::size_t got = file.read(buffer.data() + kept, buffer.size() - kept);
    if (file.status().stage != FileReadStatus::Stage::Ok) throw IoError::obj_parse("read error");
    const std::string_view filled(buffer.data(), kept + got);
    if (got == 0) {
      parse_lines(filled, start_of_file, builder, face);
      return builder.finish();
    }
    const std::size_t line_end = filled.find_last_of("\n\r");
    if (line_end == std::string_view::npos) {
      kept = filled.size();
      continue;
    }
    parse_lines(filled.substr(0, line_end + 1), start_of_file, builder, face);
    start_of_file = false;
    kept = filled.size() - line_end - 1;
    std::memmove(buffer.data(), buffer.data() + line_end + 1, kept);
  }
}

void write_obj(const std::string& path, const MeshData& mesh) {
  FileWriter out(path);
  out.write("# Generated by morvane-reduce\n");
  std::string line;
  write_lines<double, 3>(out, line, "v", mesh.positions, 8);
  if (mesh.uvs) write_lines<float, 2>(out, line, "vt", *mesh.uvs, 6);
  if (mesh.normals) write_lines<double, 3>(out, line, "vn", *mesh.normals, 6);
  const bool uvs = mesh.uvs.has_value();
  const bool normals = mesh.normals.has_value();
  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    line.assign("f");
    for (std::size_t k = 0; k < 3; ++k) {
      // 64-bit, so that index 4294967295 is written as 4294967296 and corner numbers never wrap.
      const uint64_t vertex = uint64_t{mesh.triangles[t][k]} + 1;
      const uint64_t corner = uint64_t{t} * 3 + k + 1;
      line += ' ';
      append_decimal(line, vertex);
      if (uvs || normals) {
        line += '/';
        if (uvs) append_decimal(line, corner);
        if (normals) {
          line += '/';
          append_decimal(line, corner);
        }
      }
    }
    line += '\n';
    out.write(line);
  }
  out.commit();
}

}  // namespace morvane::io
