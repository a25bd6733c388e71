#include "obj.hpp"

#include <tiny_obj_loader.h>

#include <algorithm>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <vector>

#include "core/text_format.hpp"
#include "file_reader.hpp"
#include "file_writer.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

// Resolved index of one face corner. Texture coordinate and normal indices may be absent; an
// index that can name no entry (0, or negative beyond the start of the list) is kept as kInvalid
// and refused when the model is merged, like any other index past the end of its list.
constexpr uint32_t kAbsent = UINT32_MAX;
constexpr uint32_t kInvalid = UINT32_MAX - 1;

struct Corner {
  uint32_t v;
  uint32_t vt;
  uint32_t vn;
};

// OBJ indices are 1-based, or relative to the end of the list read so far when negative.
uint32_t resolve_index(int raw, std::size_t count_so_far) {
  int64_t index;
  if (raw > 0) {
    index = int64_t{raw} - 1;
  } else {
    index = static_cast<int64_t>(count_so_far) + raw;
  }
  return index < 0 || index >= int64_t{kInvalid} ? kInvalid : static_cast<uint32_t>(index);
}

// A read-only stream buffer over bytes already in memory.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

// Collects the parser's callbacks: the file's lists, then per model (object or group) its faces,
// which are merged into the output when the model ends. Each model gets its own position list:
// the vertices its faces use, in first-use order, so the indices of a model are shifted by the
// vertex count of the models before it. Polygons are triangulated as fans from their first corner.
class ObjBuilder {
 public:
  // Merged indices are stored as u32, so no more vertices than that are ever stored.
  explicit ObjBuilder(const MeshLimits& limits)
      : limits_{std::min<uint64_t>(limits.vertices, UINT32_MAX), limits.triangles} {}

  void add_position(float x, float y, float z) { positions_.insert(positions_.end(), {x, y, z}); }
  void add_texcoord(float u, float v) { texcoords_.insert(texcoords_.end(), {u, v}); }
  void add_normal(float x, float y, float z) { normals_.insert(normals_.end(), {x, y, z}); }

  void add_face(const tinyobj::index_t* indices, int count) {
    // Points and lines written as "f" lines carry no triangle.
    if (count < 3) return;
    for (int i = 0; i < count; ++i) {
      const tinyobj::index_t& index = indices[i];
      // The parser reports an absent texture coordinate or normal index as 0.
      const int raw_vt = index.texcoord_index;
      const int raw_vn = index.normal_index;
      corners_.push_back({resolve_index(index.vertex_index, positions_.size() / 3),
                          raw_vt == 0 ? kAbsent : resolve_index(raw_vt, texcoords_.size() / 2),
                          raw_vn == 0 ? kAbsent : resolve_index(raw_vn, normals_.size() / 3)});
    }
    face_sizes_.push_back(static_cast<uint32_t>(count));
  }

  // Merges the faces read since the last object or group line as one model.
  void end_model();

  MeshData finish();

 private:
  void merge_triangle(const Corner& a, const Corner& b, const Corner& c);
  uint32_t merged_vertex(uint32_t v);
  Uv texcoord_of(uint32_t vt) const;
  Vec3 normal_of(uint32_t vn) const;
  bool storing() const { return vertex_count_ <= limits_.vertices && triangle_count_ <= limits_.triangles; }

  MeshLimits limits_;
  std::vector<float> positions_;
  std::vector<float> texcoords_;
  std::vector<float> normals_;

  std::vector<Corner> corners_;
  std::vector<uint32_t> face_sizes_;

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

void ObjBuilder::end_model() {
  if (face_sizes_.empty()) return;
  any_model_ = true;
  model_start_ = vertex_count_;
  merged_index_.resize(positions_.size() / 3, UINT64_MAX);
  // Texture coordinate and normal indices are ignored while the file has no such list at all.
  bool has_uvs = false;
  bool has_normals = false;
  for (const Corner& corner : corners_) {
    has_uvs = has_uvs || (corner.vt != kAbsent && !texcoords_.empty());
    has_normals = has_normals || (corner.vn != kAbsent && !normals_.empty());
  }
  // The first model with an attribute gives zeros to every corner merged before it.
  if (has_uvs && !mesh_.uvs) mesh_.uvs.emplace(mesh_.triangles.size() * 3, Uv{0.0f, 0.0f});
  if (has_normals && !mesh_.normals) mesh_.normals.emplace(mesh_.triangles.size() * 3, Vec3{0.0, 0.0, 0.0});

  std::size_t first = 0;
  for (const uint32_t size : face_sizes_) {
    for (uint32_t k = 2; k < size; ++k) merge_triangle(corners_[first], corners_[first + k - 1], corners_[first + k]);
    first += size;
  }
  corners_.clear();
  face_sizes_.clear();
}

void ObjBuilder::merge_triangle(const Corner& a, const Corner& b, const Corner& c) {
  const Corner* corners[3] = {&a, &b, &c};
  Tri triangle;
  Uv uvs[3];
  Vec3 normals[3];
  for (int k = 0; k < 3; ++k) {
    triangle[k] = merged_vertex(corners[k]->v);
    uvs[k] = texcoord_of(corners[k]->vt);
    normals[k] = normal_of(corners[k]->vn);
  }
  ++triangle_count_;
  if (!storing()) return;
  mesh_.triangles.push_back(triangle);
  if (mesh_.uvs) mesh_.uvs->insert(mesh_.uvs->end(), uvs, uvs + 3);
  if (mesh_.normals) mesh_.normals->insert(mesh_.normals->end(), normals, normals + 3);
}

uint32_t ObjBuilder::merged_vertex(uint32_t v) {
  if (v >= merged_index_.size()) throw IoError::obj_parse("face vertex index out of bounds");
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

tinyobj::callback_t builder_callbacks() {
  tinyobj::callback_t callbacks;
  callbacks.vertex_cb = [](void* user, float x, float y, float z, float) {
    static_cast<ObjBuilder*>(user)->add_position(x, y, z);
  };
  callbacks.texcoord_cb = [](void* user, float u, float v, float) {
    static_cast<ObjBuilder*>(user)->add_texcoord(u, v);
  };
  callbacks.normal_cb = [](void* user, float x, float y, float z) {
    static_cast<ObjBuilder*>(user)->add_normal(x, y, z);
  };
  callbacks.index_cb = [](void* user, tinyobj::index_t* indices, int count) {
    static_cast<ObjBuilder*>(user)->add_face(indices, count);
  };
  callbacks.group_cb = [](void* user, const char**, int) { static_cast<ObjBuilder*>(user)->end_model(); };
  callbacks.object_cb = [](void* user, const char*) { static_cast<ObjBuilder*>(user)->end_model(); };
  return callbacks;
}

}  // namespace

MeshData parse_obj(std::string_view text, const MeshLimits& limits) {
  ObjBuilder builder(limits);
  MemoryBuffer buffer(text);
  std::istream stream(&buffer);
  // No material reader: "mtllib" lines are skipped and no other file is ever opened.
  tinyobj::LoadObjWithCallback(stream, builder_callbacks(), &builder, nullptr, nullptr, nullptr);
  return builder.finish();
}

MeshData read_obj(const std::string& path) {
  std::vector<char> bytes;
  const FileReadStatus status = try_read_file(path, bytes);
  if (status.stage == FileReadStatus::Stage::Read) throw IoError::obj_parse("read error");
  if (status.stage != FileReadStatus::Stage::Ok) throw IoError::obj_parse("open file failed");
  return parse_obj(std::string_view(bytes.data(), bytes.size()));
}

void write_obj(const std::string& path, const MeshData& mesh) {
  FileWriter out(path);
  out.write("# Generated by morvane-reduce\n");
  std::string line;
  for (const Vec3& p : mesh.positions) {
    line.assign("v");
    for (const double value : p) {
      line += ' ';
      append_fixed(line, value, 8);
    }
    line += '\n';
    out.write(line);
  }
  if (mesh.uvs) {
    for (const Uv& uv : *mesh.uvs) {
      line.assign("vt ");
      append_fixed(line, uv[0], 6);
      line += ' ';
      append_fixed(line, uv[1], 6);
      line += '\n';
      out.write(line);
    }
  }
  if (mesh.normals) {
    for (const Vec3& n : *mesh.normals) {
      line.assign("vn");
      for (const double value : n) {
        line += ' ';
        append_fixed(line, value, 6);
      }
      line += '\n';
      out.write(line);
    }
  }
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
