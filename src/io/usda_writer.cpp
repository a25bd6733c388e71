// Writer of USDA text layers: one Mesh prim "proxy" with its extent, triangles, points and the
// optional face-varying normals and texture coordinates. Numbers are written in fixed-point with
// six decimals, or more where a value needs them to read back as the float a crate file stores.
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/text_format.hpp"
#include "file_writer.hpp"
#include "usd.hpp"

namespace morvane::io {

namespace {

// Output is handed to the file writer in pieces of about this size.
constexpr std::size_t kChunkBytes = 1 << 16;

// USD's text parser reads "nan", "inf" and "-inf" but not "NaN".
void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
  } else {
    append_fixed_float(out, value, 6);
  }
}

class ChunkedText {
 public:
  explicit ChunkedText(FileWriter& file) : file_(file) { text_.reserve(kChunkBytes + 256); }
  std::string& text() { return text_; }
  void flush_if_full() {
    if (text_.size() >= kChunkBytes) flush();
  }
  void flush() {
    file_.write(text_);
    text_.clear();
  }

 private:
  FileWriter& file_;
  std::string text_;
};

template <std::size_t N, class T>
void write_tuples(ChunkedText& out, std::span<const std::array<T, N>> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::string& text = out.text();
    if (i > 0) text += ", ";
    text += '(';
    for (std::size_t k = 0; k < N; ++k) {
      if (k > 0) text += ", ";
      append_number(text, static_cast<double>(values[i][k]));
    }
    text += ')';
    out.flush_if_full();
  }
}

void close_face_varying(ChunkedText& out) { out.text() += "] (\n        interpolation = \"faceVarying\"\n    )\n"; }

}  // namespace

std::array<float, 6> compute_extent(std::span<const Vec3> positions) {
  if (positions.empty()) return {0, 0, 0, 0, 0, 0};
  constexpr double inf = std::numeric_limits<double>::infinity();
  Vec3 lo{inf, inf, inf}, hi{-inf, -inf, -inf};
  for (const Vec3& p : positions) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::fmin(lo[k], p[k]);
      hi[k] = std::fmax(hi[k], p[k]);
    }
  }
  return {narrow_to_float(lo[0]), narrow_to_float(lo[1]), narrow_to_float(lo[2]),
          narrow_to_float(hi[0]), narrow_to_float(hi[1]), narrow_to_float(hi[2])};
}

void write_usda(const std::string& path, const MeshData& mesh) {
  FileWriter file(path);
  ChunkedText out(file);
  out.text() +=
      "#usda 1.0\n(\n    defaultPrim = \"proxy\"\n    metersPerUnit = 1\n    upAxis = \"Y\"\n)\n\n"
      "def Mesh \"proxy\"\n{\n"
      "    uniform token subdivisionScheme = \"none\"\n"
      "    uniform token purpose = \"proxy\"\n"
      "    float3[] extent = [";
  const std::array<float, 6> extent = compute_extent(mesh.positions);
  const std::array<std::array<float, 3>, 2> corners{{{extent[0], extent[1], extent[2]},
                                                      {extent[3], extent[4], extent[5]}}};
  write_tuples<3, float>(out, corners);
  out.text() += "]\n    int[] faceVertexCounts = [";
  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    out.text() += t > 0 ? ", 3" : "3";
    out.flush_if_full();
  }
  out.text() += "]\n    int[] faceVertexIndices = [";
  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    for (std::size_t k = 0; k < 3; ++k) {
      if (t > 0 || k > 0) out.text() += ", ";
      append_decimal(out.text(), mesh.triangles[t][k]);
    }
    out.flush_if_full();
  }
  out.text() += "]\n    point3f[] points = [";
  write_tuples<3, double>(out, mesh.positions);
  out.text() += "]\n";
  if (mesh.normals) {
    out.text() += "    normal3f[] normals = [";
    write_tuples<3, double>(out, *mesh.normals);
    close_face_varying(out);
  }
  if (mesh.uvs) {
    out.text() += "    texCoord2f[] primvars:st = [";
    write_tuples<2, float>(out, *mesh.uvs);
    close_face_varying(out);
  }
  out.text() += "}\n";
  out.flush();
  file.commit();
}

}  // namespace morvane::io
