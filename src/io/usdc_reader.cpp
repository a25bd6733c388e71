// Crate reader: decodes the container of a USD crate file (tokens, fields, field sets, path tree,
// specs), finds the first Mesh prim of the layer's traversal and reads its points, face vertex
// counts and indices (each its value at the default time, else at the earliest time sample) and
// orientation. Every count a file states is checked against what its bytes can hold before
// anything is allocated.
#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/numeric.hpp"
#include "core/run_context.hpp"
#include "file_reader.hpp"
#include "io_error.hpp"
#include "mesh_data.hpp"
#include "usd_attribute_value.hpp"
#include "usd_polygons.hpp"
#include "usd_traversal.hpp"
#include "usdc.hpp"
#include "usdc_crate.hpp"
#include "usdc_format.hpp"
#include "usdc_layer.hpp"
#include "utf8.hpp"

namespace morvane::io {

namespace {

constexpr uint64_t kMaxSections = 64;
constexpr uint64_t kMaxTokenBytes = uint64_t{8} << 30;
constexpr uint64_t kMaxArrayLength = 1600000000;

// Property name (a view into the token list) to the field-set index of its attribute spec.
using PropertyMap = std::unordered_map<std::string_view, uint32_t>;

IoError parse_error(std::string_view text) { return IoError::usd_parse(text); }

// Header: magic, version 0.4 or later, table of contents.
void read_sections(Crate& crate) {
  const std::span<const uint8_t> file = crate.file;
  const auto magic = [&] { return std::string_view(reinterpret_cast<const char*>(file.data()), kCrateMagic.size()); };
  if (file.size() < kCrateHeaderSize || magic() != kCrateMagic) {
    throw parse_error("not a USD crate file");
  }
  const uint8_t major = file[8], minor = file[9];
  if (major != 0 || minor < 4) {
    throw parse_error(fmt::format("crate file version {}.{} unsupported (need 0.4.0+)", major, minor));
  }
  crate.minor_version = minor;
  ByteCursor toc(file, load_u64(file.data() + 16));
  const uint64_t count = toc.read_u64();
  if (count > kMaxSections) throw parse_error("implausible section count");
  for (uint64_t k = 0; k < count; ++k) {
    const std::span<const uint8_t> name_bytes = toc.read_bytes(kCrateSectionNameSize);
    const auto* name_chars = reinterpret_cast<const char*>(name_bytes.data());
    const std::size_t name_length = std::find(name_chars, name_chars + kCrateSectionNameSize, '\0') - name_chars;
    std::string name = utf8_lossy(std::string_view(name_chars, name_length));
    Section section;
    section.start = toc.read_u64();
    section.size = toc.read_u64();
    if (saturating_add(section.start, section.size) > file.size()) {
      throw parse_error(fmt::format("section {} out of bounds", name));
    }
    crate.sections[std::move(name)] = section;
  }
}

ByteCursor find_section(const Crate& crate, const std::string& name) {
  const auto it = crate.sections.find(name);
  if (it == crate.sections.end()) throw parse_error(fmt::format("missing {} section", name));
  return ByteCursor(crate.file, it->second.start);
}

// The first `count` NUL-separated pieces of the token text; a text ending in NUL has one more, empty
// piece. Pieces are counted before any is copied.
std::vector<std::string> split_token_blob(std::span<const uint8_t> content, uint64_t count) {
  const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
  const uint64_t pieces = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\0')) + 1;
  if (pieces < count) throw parse_error("token table truncated");
  std::vector<std::string> tokens;
  tokens.reserve(static_cast<std::size_t>(count));
  std::size_t start = 0;
  for (uint64_t k = 0; k < count; ++k) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    tokens.push_back(utf8_lossy(text.substr(start, end - start)));
    start = end + 1;
  }
  return tokens;
}

void read_tokens(Crate& crate) {
  ByteCursor cursor = find_section(crate, "TOKENS");
  const uint64_t count = cursor.read_u64();
  const uint64_t raw_size = cursor.read_u64();
  const uint64_t compressed_size = cursor.read_u64();
  // A token table lists each token once. An LZ4 match only repeats text already decoded, so each
  // byte of the compressed blob brings at most one new token: a larger count is no real table,
  // and could ask for far more memory than the file could justify.
  if (raw_size > kMaxTokenBytes || count > saturating_add(raw_size, 1) || count > saturating_add(compressed_size, 1)) {
    throw parse_error("implausible token table");
  }
  const std::vector<uint8_t> content = decompress_lz4_blob(cursor.read_bytes(compressed_size), raw_size);
  crate.tokens = split_token_blob(content, count);
}

// Compressed integers read as unsigned indices.
std::vector<uint32_t> read_indices(ByteCursor& cursor, uint64_t count) {
  std::vector<int32_t> values = read_compressed_ints(cursor, count);
  return std::vector<uint32_t>(values.begin(), values.end());
}

void read_fields(Crate& crate) {
  ByteCursor cursor = find_section(crate, "FIELDS");
  const uint64_t count = cursor.read_u64();
  if (count > crate.file.size()) throw parse_error("implausible field count");
  const std::vector<int32_t> names = read_compressed_ints(cursor, count);
  const uint64_t reps_size = cursor.read_u64();
  const std::vector<uint8_t> reps = decompress_lz4_blob(cursor.read_bytes(reps_size), 8 * count);
  if (reps.size() < 8 * count) throw parse_error("field reps truncated");
  crate.fields.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < crate.fields.size(); ++i) {
    const auto token = static_cast<uint32_t>(names[i]);
    if (token >= crate.tokens.size()) throw parse_error("field token index out of range");
    crate.fields[i] = {token, load_u64(reps.data() + 8 * i)};
  }
}

void read_field_sets(Crate& crate) {
  ByteCursor cursor = find_section(crate, "FIELDSETS");
  const uint64_t count = cursor.read_u64();
  if (count > crate.file.size()) throw parse_error("implausible fieldset count");
  crate.field_sets = read_indices(cursor, count);
}

// Depth-first runs of the path tree; every entry is visited at most once per run, and the runs
// together may not visit more than the entries there are, so a cyclic jump structure ends.
PathTable decode_path_tree(std::span<const int32_t> path_indexes, std::span<const int32_t> element_tokens,
                           std::span<const int32_t> jumps, uint64_t token_count) {
  PathTable table;
  const uint64_t n = path_indexes.size();
  if (n == 0) return table;
  table.reserve(static_cast<std::size_t>(std::min<uint64_t>(n, 1 << 20)));
  struct Run {
    uint64_t first;
    bool has_parent;
    uint32_t parent;
  };
  std::vector<Run> pending{{0, false, 0}};
  uint64_t visited = 0;
  while (!pending.empty()) {
    Run run = pending.back();
    pending.pop_back();
    if (visited > n || run.first >= n) throw parse_error("malformed path tree");
    for (uint64_t i = run.first;; ++i) {
      const uint64_t k = i - run.first;
      const int32_t e = element_tokens[i];
      const uint32_t magnitude = e >= 0 ? static_cast<uint32_t>(e) : 0u - static_cast<uint32_t>(e);
      if (magnitude >= token_count) throw parse_error("path entry out of range");
      const auto path = static_cast<uint32_t>(path_indexes[i]);
      table[path] = PathEntry{run.has_parent, run.parent, magnitude, e < 0};
      const int32_t j = jumps[i];
      if (j > 0) {
        pending.push_back({i + static_cast<uint64_t>(j), run.has_parent, run.parent});
        run.has_parent = true, run.parent = path;
      } else if (j == -1) {
        run.has_parent = true, run.parent = path;
      } else if (j < -1) {
        visited += k + 1;
        break;
      }
      if (visited + k >= n || i + 1 >= n) throw parse_error("malformed path tree");
    }
  }
  return table;
}

void read_paths(Crate& crate) {
  ByteCursor cursor = find_section(crate, "PATHS");
  cursor.read_u64();  // the path count; the encoded entries follow
  const uint64_t count = cursor.read_u64();
  if (count > crate.file.size()) throw parse_error("implausible path count");
  const std::vector<int32_t> path_indexes = read_compressed_ints(cursor, count);
  const std::vector<int32_t> element_tokens = read_compressed_ints(cursor, count);
  const std::vector<int32_t> jumps = read_compressed_ints(cursor, count);
  crate.paths = decode_path_tree(path_indexes, element_tokens, jumps, crate.tokens.size());
}

void read_specs(Crate& crate) {
  ByteCursor cursor = find_section(crate, "SPECS");
  const uint64_t count = cursor.read_u64();
  if (count > crate.file.size()) throw parse_error("implausible spec count");
  const std::vector<uint32_t> paths = read_indices(cursor, count);
  const std::vector<uint32_t> field_sets = read_indices(cursor, count);
  const std::vector<uint32_t> types = read_indices(cursor, count);
  crate.specs.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < crate.specs.size(); ++i) crate.specs[i] = {paths[i], field_sets[i], types[i]};
}

bool names(const Crate& crate, uint32_t field, std::string_view name) {
  return field < crate.fields.size() && crate.tokens[crate.fields[field].token] == name;
}

// The first field called `name` in the field set starting at `field_set`. The walk stops at the
// terminator or the end of the list and skips entries that name no field; an index beyond the
// list is an empty field set.
std::optional<uint64_t> find_field(const Crate& crate, uint64_t field_set, std::string_view name) {
  for (uint64_t i = field_set; i < crate.field_sets.size(); ++i) {
    const uint32_t entry = crate.field_sets[i];
    if (entry == kFieldSetTerminator) break;
    if (names(crate, entry, name)) return crate.fields[entry].rep;
  }
  return std::nullopt;
}

// The attributes of each of the mesh's specs (strongest first), found through the path tree: the
// attribute specs whose parent is that prim spec's path. Of two specs of one name, the later counts.
std::vector<PropertyMap> collect_properties(const Crate& crate, const std::vector<UsdSpecId>& prim_specs) {
  std::unordered_map<uint32_t, std::size_t> rank;
  for (std::size_t r = 0; r < prim_specs.size(); ++r) rank.emplace(prim_specs[r], r);
  std::vector<PropertyMap> properties(prim_specs.size());
  for (const CrateSpec& spec : crate.specs) {
    if (spec.type != static_cast<uint32_t>(SpecType::Attribute)) continue;
    const auto it = crate.paths.find(spec.path);
    if (it == crate.paths.end()) continue;
    const PathEntry& entry = it->second;
    if (!entry.property || !entry.has_parent) continue;
    const auto owner = rank.find(entry.parent);
    if (owner == rank.end()) continue;
    properties[owner->second][crate.tokens[entry.element]] = spec.field_set;
  }
  return properties;
}

// A forward jump as OpenUSD writes it around nested values: an i64 offset from its own position.
uint64_t follow_jump(const Crate& crate, uint64_t at) {
  ByteCursor cursor(crate.file, at);
  const uint64_t target = at + cursor.read_u64();  // wraps like the signed sum
  if (target > crate.file.size()) throw parse_error("unexpected end of file");
  return target;
}

// The value of the earliest sample of a time-samples value: at its offset a jump to the rep of
// its times (a double vector), then a jump to the count and reps of its values, one per time.
// None when it holds no sample.
std::optional<uint64_t> earliest_sample(const Crate& crate, uint64_t rep, const std::string& name) {
  const auto malformed = [&] { return parse_error(fmt::format("{} has malformed time samples", name)); };
  if ((rep & (kRepArray | kRepInlined)) || rep_type(rep) != kTypeTimeSamples) throw malformed();
  const uint64_t times_at = follow_jump(crate, rep_payload(rep));
  const uint64_t times_rep = ByteCursor(crate.file, times_at).read_u64();
  ByteCursor values(crate.file, follow_jump(crate, times_at + 8));
  const uint64_t count = values.read_u64();
  if (count > crate.file.size() / 8) throw parse_error("unexpected end of file");
  const uint8_t* reps = values.read_bytes(8 * count).data();

  if ((times_rep & (kRepArray | kRepInlined)) || rep_type(times_rep) != kTypeDoubleVector) throw malformed();
  ByteCursor times(crate.file, rep_payload(times_rep));
  if (times.read_u64() != count) throw malformed();
  const uint8_t* time = times.read_bytes(8 * count).data();
  std::optional<uint64_t> earliest;
  double earliest_time = 0.0;
  for (uint64_t i = 0; i < count; ++i, time += 8) {
    const double t = std::bit_cast<double>(load_u64(time));
    if (!std::isnan(t) && (!earliest || t < earliest_time)) earliest = load_u64(reps + 8 * i), earliest_time = t;
  }
  return earliest;
}

// The property's value over the mesh's specs (strongest first): at the default time, else at the
// earliest time sample.
uint64_t find_property(const Crate& crate, const std::vector<PropertyMap>& properties, const std::string& name) {
  if (std::none_of(properties.begin(), properties.end(), [&](const PropertyMap& map) { return map.contains(name); })) {
    throw parse_error(fmt::format("Mesh prim has no {}", name));
  }
  const auto field_of = [&](std::size_t spec, std::string_view field) -> std::optional<uint64_t> {
    const auto it = properties[spec].find(name);
    return it == properties[spec].end() ? std::nullopt : find_field(crate, it->second, field);
  };
  const std::optional<uint64_t> rep = resolve_usd_attribute<uint64_t>(
      properties.size(), name, [&](std::size_t spec) { return field_of(spec, "default"); },
      [&](std::size_t spec) -> std::optional<uint64_t> {
        const std::optional<uint64_t> samples = field_of(spec, "timeSamples");
        return samples ? earliest_sample(crate, *samples, name) : std::nullopt;
      },
      [](uint64_t value) { return !(value & kRepArray) && rep_type(value) == kTypeValueBlock; });
  if (!rep) throw parse_error(fmt::format("{} has no default value", name));
  return *rep;
}

// Where an array value's elements start and how many there are. Before version 0.7 the count is a
// u32, and before 0.5 a u32 rank precedes it. A payload of 0 is an empty array, which OpenUSD
// writes without any bytes.
struct ArrayHeader {
  uint64_t count = 0;
  uint64_t data = 0;
};

ArrayHeader read_array_header(const Crate& crate, uint64_t rep) {
  const uint64_t offset = rep_payload(rep);
  if (offset == 0) return {};
  ByteCursor cursor(crate.file, offset);
  if (crate.minor_version >= 7) {
    const uint64_t count = cursor.read_u64();
    return {count, cursor.position()};
  }
  const std::span<const uint8_t> words = cursor.read_bytes(crate.minor_version < 5 ? 8 : 4);
  return {load_u32(words.data() + words.size() - 4), cursor.position()};
}

std::vector<Vec3> read_points(const Crate& crate, uint64_t rep) {
  const uint32_t type = rep_type(rep);
  if (!(rep & kRepArray) || (type != kTypeFloat3 && type != kTypeDouble3)) {
    throw parse_error("points must be float3[] or double3[]");
  }
  if (rep & kRepCompressed) throw parse_error("compressed vec arrays not supported");
  const ArrayHeader header = read_array_header(crate, rep);
  if (header.count > MAX_VERTICES) throw parse_error("implausible point count");
  const uint64_t element_size = type == kTypeFloat3 ? 12 : 24;
  ByteCursor cursor(crate.file, header.data);
  const uint8_t* p = cursor.read_bytes(header.count * element_size).data();
  std::vector<Vec3> points(static_cast<std::size_t>(header.count));
  StopPoll poll;
  for (Vec3& point : points) {
    poll.tick();
    for (double& component : point) {
      if (type == kTypeFloat3) {
        component = std::bit_cast<float>(load_u32(p));
        p += 4;
      } else {
        component = std::bit_cast<double>(load_u64(p));
        p += 8;
      }
    }
  }
  return points;
}

// The values of an int[] value as stored, raw or compressed; they are sign-extended only where
// they are used, during triangulation.
std::vector<int32_t> read_int_array(const Crate& crate, uint64_t rep) {
  if (!(rep & kRepArray) || rep_type(rep) != kTypeInt) throw parse_error("expected an int[] value");
  const ArrayHeader header = read_array_header(crate, rep);
  if (header.count > kMaxArrayLength) throw parse_error("implausible array length");
  ByteCursor cursor(crate.file, header.data);
  if (rep & kRepCompressed) return read_compressed_ints(cursor, header.count);
  const uint8_t* p = cursor.read_bytes(4 * header.count).data();
  std::vector<int32_t> values(static_cast<std::size_t>(header.count));
  StopPoll poll;
  for (int32_t& v : values) {
    poll.tick();
    v = static_cast<int32_t>(load_u32(p));
    p += 4;
  }
  return values;
}

bool is_left_handed(const Crate& crate, const std::vector<PropertyMap>& properties) {
  for (const PropertyMap& map : properties) {
    const auto orientation = map.find("orientation");
    if (orientation == map.end()) continue;
    if (const std::optional<uint64_t> rep = find_field(crate, orientation->second, "default")) {
      return inlined_token(crate, *rep) == "leftHanded";
    }
  }
  return false;
}

}  // namespace

MeshData read_usdc_bytes(std::span<const uint8_t> file, const MeshLimits& limits) {
  Crate crate;
  crate.file = file;
  read_sections(crate);
  read_tokens(crate);
  read_fields(crate);
  read_field_sets(crate);
  read_paths(crate);
  read_specs(crate);

  CrateLayer layer(crate);
  const std::vector<UsdSpecId> prim_specs = find_first_mesh(layer);
  if (prim_specs.empty()) throw parse_error("no Mesh prim found");
  const std::vector<PropertyMap> properties = collect_properties(crate, prim_specs);

  MeshData mesh;
  mesh.positions = read_points(crate, find_property(crate, properties, "points"));
  const std::vector<int32_t> counts = read_int_array(crate, find_property(crate, properties, "faceVertexCounts"));
  const std::vector<int32_t> indices = read_int_array(crate, find_property(crate, properties, "faceVertexIndices"));
  mesh.triangles =
      polygons_to_triangles(counts, indices, mesh.positions.size(), is_left_handed(crate, properties), &limits);
  return mesh;
}

MeshData read_usdc(const std::string& path) {
  const std::vector<char> bytes = read_file(path);
  return read_usdc_bytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace morvane::io
