// The crate reader: scenes built table by table, files cut or corrupted section by section, and
// the limits and mended checks.
#include <gtest/gtest.h>

#include <set>

#include "core/run_context.hpp"
#include "io/io_error.hpp"
#include "io/usdc.hpp"
#include "usdc_test_crate.hpp"

namespace morvane::io {
namespace {

using test::TestAttribute;
using test::TestCrate;
using test::TestPrim;

const std::vector<float> kTriangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};

std::string error_of(const std::vector<uint8_t>& file, const MeshLimits& limits = {}) {
  try {
    read_usdc_bytes(file, limits);
  } catch (const IoError& e) {
    return e.what();
  }
  return "no error";
}

MeshData read(const std::vector<uint8_t>& file) { return read_usdc_bytes(file); }

std::vector<uint8_t> single_mesh(const std::vector<float>& points, const std::vector<int32_t>& counts,
                                 const std::vector<int32_t>& indices, uint8_t minor = 8) {
  TestCrate crate;
  crate.minor_version = minor;
  crate.set_scene({test::mesh_prim(crate, "m", points, counts, indices)});
  return crate.build();
}

std::vector<uint8_t> written_file() {
  MeshData mesh;
  for (int i = 0; i < 30; ++i) mesh.positions.push_back({i * 0.5, i % 4 * 1.0, -i * 0.25});
  for (uint32_t i = 0; i < 20; ++i) mesh.triangles.push_back({i, i + 1, i + 2});
  return encode_usdc(mesh);
}

using Attributes = std::vector<TestAttribute>;

// A file with one mesh prim (a triangle, or the given polygons) whose attributes `edit` may change:
// 0 points, 1 faceVertexCounts, 2 faceVertexIndices.
template <class Edit>
std::vector<uint8_t> mesh_scene(Edit&& edit, const std::vector<float>& points = kTriangle,
                                const std::vector<int32_t>& counts = {3},
                                const std::vector<int32_t>& indices = {0, 1, 2}) {
  TestCrate crate;
  TestPrim prim = test::mesh_prim(crate, "m", points, counts, indices);
  edit(crate, prim.attributes);
  crate.set_scene({prim});
  return crate.build();
}

template <class Edit>
std::string scene_error(Edit&& edit) {
  return error_of(mesh_scene(edit));
}

const std::vector<float> kSquare = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};

TEST(UsdcReaderScene, TriangulatesPolygonsOfTheMeshPrim) {
  const std::vector<float> points = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0, 2, 1, 0, 3, 0, 0};
  const MeshData mesh = read(single_mesh(points, {4, 5}, {0, 1, 2, 3, 1, 4, 5, 6, 2}));
  ASSERT_EQ(mesh.positions.size(), 7u);
  EXPECT_EQ(mesh.positions[5], (Vec3{2, 1, 0}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}, {1, 4, 5}, {1, 5, 6}, {1, 6, 2}}));
  EXPECT_FALSE(mesh.uvs);
  EXPECT_FALSE(mesh.normals);
}

// The same prim the text reader takes from the same layer: the first in the order "primChildren"
// gives, whatever the path indices and the order of the specs.
TEST(UsdcReaderScene, ReadsTheFirstMeshPrimInNamespaceOrder) {
  TestCrate crate;
  TestPrim xform{"x", {{"typeName", crate.token_rep("Xform")}}, {}};
  xform.attributes.push_back({"points", {{"default", crate.float3_array({5, 5, 5})}}});
  crate.set_scene({xform, test::mesh_prim(crate, "a", kTriangle, {3}, {0, 1, 2}),
                   test::mesh_prim(crate, "b", {7, 7, 7, 8, 8, 8, 9, 9, 9}, {3}, {2, 1, 0})});
  const auto b_path = static_cast<uint32_t>(
      std::find(crate.element_tokens.begin(), crate.element_tokens.end(), crate.token("b")) -
      crate.element_tokens.begin());
  const auto second = std::find_if(crate.specs.begin() + 1, crate.specs.end(),
                                   [&](const CrateSpec& s) { return s.type == 6 && s.path == b_path; });
  ASSERT_NE(second, crate.specs.end());
  std::rotate(second, second + 1, crate.specs.end());
  const auto children = [&](const std::vector<std::string>& names) {
    TestCrate listed = crate;
    const auto field = std::find_if(listed.fields.begin(), listed.fields.end(), [&](const CrateField& f) {
      return listed.tokens[f.token] == "primChildren";
    });
    field->rep = listed.token_vector(names);
    return listed.build();
  };
  EXPECT_EQ(read(children({"x", "b", "a"})).positions[0], (Vec3{7, 7, 7}));
  EXPECT_EQ(read(children({"b", "a", "b"})).positions[0], (Vec3{7, 7, 7}));
  EXPECT_EQ(read(children({"x", "a", "b"})).positions[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(error_of(children({"x"})), "USD parse error: no Mesh prim found") << "prims no parent lists are not read";
  EXPECT_EQ(error_of(children(std::vector<std::string>(crate.path_indexes.size() + 1, "x"))),
            "USD parse error: primChildren lists more prims than the file has paths");

  // An attribute spec of the pseudo-root's path, before it in SPECS, does not stand in for it.
  TestCrate shadowed = crate;
  shadowed.specs.insert(shadowed.specs.begin(), CrateSpec{0, crate.specs[2].field_set, 1});
  EXPECT_EQ(read(shadowed.build()).positions[0], (Vec3{0, 0, 0}));

  // An "over" Mesh defines no prim and a "class" Mesh is abstract: the traversal passes both by.
  for (const uint64_t over_or_class : {1, 2}) {
    TestCrate undefined = crate;
    const auto specifier = std::find_if(undefined.fields.begin(), undefined.fields.end(), [&](const CrateField& f) {
      return undefined.tokens[f.token] == "specifier";
    });
    specifier->rep = make_rep(kTypeSpecifier, kRepInlined, over_or_class);  // the first, mesh "a"
    EXPECT_EQ(read(undefined.build()).positions[0], (Vec3{7, 7, 7}));
  }
  // A prim spec without a specifier is an "over", as the reference library reads it.
  TestCrate unspecified = crate;
  const auto specifier = std::find_if(unspecified.fields.begin(), unspecified.fields.end(), [&](const CrateField& f) {
    return unspecified.tokens[f.token] == "specifier";
  });
  specifier->token = unspecified.token("comment");
  EXPECT_EQ(read(unspecified.build()).positions[0], (Vec3{7, 7, 7}));
}

TEST(UsdcReaderScene, OnlyTheFirstTypeNameOfAPrimCounts) {
  TestCrate crate;
  TestPrim prim = test::mesh_prim(crate, "m", kTriangle, {3}, {0, 1, 2});
  prim.fields.insert(prim.fields.begin(), {"typeName", crate.token_rep("Xform")});
  crate.set_scene({prim});
  EXPECT_EQ(error_of(crate.build()), "USD parse error: no Mesh prim found");
}

TEST(UsdcReaderScene, AttributesComeFromThePathTreeAndTheLaterSpecWins) {
  TestCrate crate;
  TestPrim prim = test::mesh_prim(crate, "m", kTriangle, {3}, {0, 1, 2});
  prim.attributes.push_back({"points", {{"default", crate.float3_array({0, 0, 0, 2, 0, 0, 0, 2, 0})}}});
  TestPrim other{"o", {{"typeName", crate.token_rep("Xform")}}, {}};
  other.attributes.push_back({"faceVertexIndices", {{"default", crate.int_array({2, 1, 0})}}});
  crate.set_scene({prim, other});
  const MeshData mesh = read(crate.build());
  EXPECT_EQ(mesh.positions[1], (Vec3{2, 0, 0}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
}

TEST(UsdcReaderScene, LeftHandedMeshesAreFlipped) {
  const auto with_orientation = [](auto&& make_default) {
    const auto edit = [&](TestCrate& c, Attributes& a) { a.push_back({"orientation", make_default(c)}); };
    return read(mesh_scene(edit, kSquare, {4}, {0, 1, 2, 3})).triangles;
  };
  using Fields = std::vector<std::pair<std::string, uint64_t>>;
  EXPECT_EQ(with_orientation([](TestCrate& c) { return Fields{{"default", c.token_rep("leftHanded")}}; }),
            (std::vector<Tri>{{0, 2, 1}, {0, 3, 2}}));
  const std::vector<Tri> unchanged = {{0, 1, 2}, {0, 2, 3}};
  EXPECT_EQ(with_orientation([](TestCrate& c) { return Fields{{"default", c.token_rep("rightHanded")}}; }), unchanged);
  EXPECT_EQ(with_orientation([](TestCrate& c) { return Fields{{"typeName", c.token_rep("leftHanded")}}; }), unchanged);
  EXPECT_EQ(with_orientation([](TestCrate& c) {
              return Fields{{"default", c.token_rep("leftHanded") & ~kRepInlined}};
            }),
            unchanged);
}

TEST(UsdcReaderScene, ReadsDoublePointsAndCompressedCountsAlike) {
  std::vector<int32_t> counts(20, 3), indices;
  for (int i = 0; i < 20; ++i) indices.insert(indices.end(), {i % 3, (i + 1) % 3, (i + 2) % 3});
  const MeshData mesh = read(mesh_scene([&](TestCrate& c, Attributes& a) {
    a[0].fields = {{"default", c.double3_array({0.1, 0.2, 0.3, 1e-17, 1, 2, 3, 4, 5.000000000001})}};
    a[1].fields = {{"default", c.int_array(counts, true)}};
    a[2].fields = {{"default", c.int_array(indices, true)}};
  }));
  EXPECT_EQ(mesh.positions[2], (Vec3{3, 4, 5.000000000001}));
  EXPECT_EQ(mesh.positions[1][0], 1e-17);
  ASSERT_EQ(mesh.triangles.size(), 20u);
  EXPECT_EQ(mesh.triangles[19], (Tri{1, 2, 0}));
}

TEST(UsdcReaderScene, OlderVersionsStoreArrayCountsAsTheyWereWritten) {
  // Before 0.7 a u32 count, before 0.5 a u32 rank in front of it.
  for (const uint8_t minor : {4, 5, 6, 7, 13}) {
    const MeshData mesh = read(single_mesh(kSquare, {3, 3}, {0, 1, 2, 2, 1, 3}, minor));
    EXPECT_EQ(mesh.positions.size(), 4u) << int(minor);
    EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {2, 1, 3}})) << int(minor);
  }
}

TEST(UsdcReaderScene, AnArrayAtPayloadZeroIsEmpty) {
  const MeshData mesh = read(mesh_scene([](TestCrate&, Attributes& a) {
    a[0].fields = {{"default", make_rep(kTypeFloat3, kRepArray, 0)}};
    a[1].fields = {{"default", make_rep(kTypeInt, kRepArray, 0)}};
    a[2].fields = {{"default", make_rep(kTypeInt, kRepArray, 0)}};
  }));
  EXPECT_TRUE(mesh.positions.empty());
  EXPECT_TRUE(mesh.triangles.empty());
}

// A time-samples value as OpenUSD lays it out: behind a jump the rep of its times (a double
// vector), then behind a second jump the count and reps of its values.
uint64_t time_samples(TestCrate& crate, const std::vector<double>& times, const std::vector<uint64_t>& reps) {
  const uint64_t times_rep = make_rep(kTypeDoubleVector, 0, crate.offset());
  append_u64(crate.values, times.size());
  for (const double t : times) append_u64(crate.values, std::bit_cast<uint64_t>(t));
  const uint64_t rep = make_rep(kTypeTimeSamples, 0, crate.offset());
  append_u64(crate.values, 8);
  append_u64(crate.values, times_rep);
  append_u64(crate.values, 8);
  append_u64(crate.values, reps.size());
  for (const uint64_t r : reps) append_u64(crate.values, r);
  return rep;
}

TEST(UsdcReaderScene, ValuesAreTheDefaultElseTheEarliestTimeSample) {
  const auto points_with = [](auto&& fields) {
    return mesh_scene([&](TestCrate& c, Attributes& a) { a[0].fields = fields(c); });
  };
  using Fields = std::vector<std::pair<std::string, uint64_t>>;
  const auto samples = [](TestCrate& c) {
    return time_samples(c, {2.0, -1.5, 10.0},
                        {c.float3_array({2, 2, 2, 0, 1, 0, 1, 0, 0}), c.float3_array({5, 5, 5, 0, 1, 0, 1, 0, 0}),
                         c.float3_array({9, 9, 9, 0, 1, 0, 1, 0, 0})});
  };
  EXPECT_EQ(read(points_with([&](TestCrate& c) { return Fields{{"timeSamples", samples(c)}}; })).positions[0],
            (Vec3{5, 5, 5}));
  EXPECT_EQ(read(points_with([&](TestCrate& c) {
              return Fields{{"timeSamples", samples(c)}, {"default", c.float3_array(kTriangle)}};
            })).positions[0],
            (Vec3{0, 0, 0}));
  EXPECT_EQ(error_of(points_with([](TestCrate& c) { return Fields{{"timeSamples", time_samples(c, {}, {})}}; })),
            "USD parse error: points has no default value");
  // A block (None) at the earliest time leaves no value there; a blocked default leaves the samples.
  const uint64_t block = make_rep(kTypeValueBlock, kRepInlined, 0);
  EXPECT_EQ(error_of(points_with([&](TestCrate& c) {
              return Fields{{"timeSamples", time_samples(c, {1.0, -2.0}, {c.float3_array(kTriangle), block})}};
            })),
            "USD parse error: points missing: its value is blocked (None)");
  EXPECT_EQ(read(points_with([&](TestCrate& c) { return Fields{{"default", block}, {"timeSamples", samples(c)}}; }))
                .positions[0],
            (Vec3{5, 5, 5}));
  EXPECT_EQ(error_of(points_with([&](TestCrate& c) { return Fields{{"default", block}}; })),
            "USD parse error: points missing: its value is blocked (None)");
  EXPECT_EQ(error_of(points_with([](TestCrate& c) {
              return Fields{{"timeSamples", time_samples(c, {1.0, 2.0}, {c.float3_array(kTriangle)})}};
            })),
            "USD parse error: points has malformed time samples");
  EXPECT_EQ(error_of(points_with([](TestCrate& c) { return Fields{{"timeSamples", c.float3_array(kTriangle)}}; })),
            "USD parse error: points has malformed time samples");
  EXPECT_EQ(error_of(points_with([](TestCrate& c) {
              return Fields{{"timeSamples", make_rep(kTypeTimeSamples, 0, c.offset() + 1000000)}};
            })),
            "USD parse error: unexpected end of file");
}

// An array value that states `count` elements and holds none.
uint64_t empty_claim(TestCrate& crate, uint32_t type, uint64_t count) {
  const uint64_t rep = make_rep(type, kRepArray, crate.offset());
  append_u64(crate.values, count);
  return rep;
}

TEST(UsdcReaderScene, RefusesAttributesOfTheWrongShape) {
  const auto points_error = [](auto&& make_rep_of) {
    return scene_error([&](TestCrate& c, Attributes& a) { a[0].fields = {{"default", make_rep_of(c)}}; });
  };
  EXPECT_EQ(scene_error([](TestCrate&, Attributes& a) { a[0].fields.pop_back(); }),
            "USD parse error: points has no default value");
  EXPECT_EQ(scene_error([](TestCrate&, Attributes& a) { a.erase(a.begin() + 1); }),
            "USD parse error: Mesh prim has no faceVertexCounts");
  EXPECT_EQ(points_error([](TestCrate& c) { return c.int_array({1, 2, 3}); }),
            "USD parse error: points must be float3[] or double3[]");
  EXPECT_EQ(points_error([](TestCrate& c) { return c.float3_array(kTriangle) | kRepCompressed; }),
            "USD parse error: compressed vec arrays not supported");
  EXPECT_EQ(points_error([](TestCrate& c) { return empty_claim(c, kTypeFloat3, 200000001); }),
            "USD parse error: implausible point count");
  EXPECT_EQ(points_error([](TestCrate& c) { return empty_claim(c, kTypeDouble3, 200000000); }),
            "USD parse error: unexpected end of file");
  EXPECT_EQ(points_error([](TestCrate&) { return make_rep(kTypeFloat3, kRepArray, kRepPayloadMask); }),
            "USD parse error: unexpected end of file");
  EXPECT_EQ(scene_error([](TestCrate& c, Attributes& a) { a[2].fields = {{"default", c.float3_array({0, 1, 2})}}; }),
            "USD parse error: expected an int[] value");
  EXPECT_EQ(scene_error([](TestCrate& c, Attributes& a) {
              a[1].fields = {{"default", empty_claim(c, kTypeInt, 1600000001)}};
            }),
            "USD parse error: implausible array length");
  EXPECT_EQ(scene_error([](TestCrate& c, Attributes& a) {
              a[1].fields = {{"default", empty_claim(c, kTypeInt, 1600000000)}};
            }),
            "USD parse error: unexpected end of file");
}

TEST(UsdcReaderScene, PolygonsAreCheckedInOrderAndAgainstThePoints) {
  EXPECT_EQ(error_of(single_mesh(kTriangle, {-3}, {0, 1, 2})), "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(error_of(single_mesh(kTriangle, {3, 3}, {0, 1, 2, 0})), "USD parse error: faceVertexIndices truncated");
  EXPECT_EQ(error_of(single_mesh(kTriangle, {3}, {0, -1, 2})), "USD parse error: vertex index out of range");
  EXPECT_EQ(error_of(single_mesh(kTriangle, {3}, {0, 1, 3})), "USD parse error: faceVertexIndices out of range");
  // An index past the points in an early polygon does not hide a later bad count.
  EXPECT_EQ(error_of(single_mesh(kTriangle, {3, 2}, {0, 1, 9, 0, 1})), "USD parse error: bad faceVertexCounts entry");
}

TEST(UsdcReaderScene, LimitsApplyAfterTheChecksAndBeforeTheTriangles) {
  const std::vector<uint8_t> file = single_mesh(kSquare, {4, 3}, {0, 1, 2, 3, 0, 1, 2});
  EXPECT_EQ(error_of(file, {3, 100}), "mesh too large: vertex count 4 exceeds limit 3");
  EXPECT_EQ(error_of(file, {4, 2}), "mesh too large: triangle count 3 exceeds limit 2");
  EXPECT_EQ(error_of(file, {1, 1}), "mesh too large: vertex count 4 exceeds limit 1");
  EXPECT_EQ(read_usdc_bytes(file, {4, 3}).triangles.size(), 3u);

  // One polygon of four million corners, stored compressed in a few kilobytes: refused by the
  // triangle limit without making its triangles.
  const std::vector<uint8_t> huge = mesh_scene([](TestCrate& c, Attributes& a) {
    a[1].fields = {{"default", c.int_array({4000000})}};
    a[2].fields = {{"default", c.int_array(std::vector<int32_t>(4000000, 1), true)}};
  });
  EXPECT_LT(huge.size(), 100000u);
  EXPECT_EQ(error_of(huge, {3, 1000}), "mesh too large: triangle count 3999998 exceeds limit 1000");
}

TEST(UsdcReaderScene, FieldSetWalksStopAtTheTerminatorAndSkipUnknownFields) {
  TestCrate crate;
  TestPrim prim = test::mesh_prim(crate, "m", kTriangle, {3}, {0, 1, 2});
  crate.set_scene({prim});
  // An entry naming no field before the points' default is passed over.
  const CrateSpec points_spec = crate.specs[2];
  crate.field_sets.insert(crate.field_sets.begin() + points_spec.field_set, 999999);
  for (CrateSpec& spec : crate.specs) {
    if (spec.field_set > points_spec.field_set) ++spec.field_set;
  }
  EXPECT_EQ(read(crate.build()).triangles.size(), 1u);

  // A field-set index past the list is an empty field set.
  TestCrate beyond;
  beyond.set_scene({test::mesh_prim(beyond, "m", kTriangle, {3}, {0, 1, 2})});
  beyond.specs[2].field_set = 1000000;
  EXPECT_EQ(error_of(beyond.build()), "USD parse error: points has no default value");
  beyond.specs[1].field_set = static_cast<uint32_t>(beyond.field_sets.size());
  EXPECT_EQ(error_of(beyond.build()), "USD parse error: no Mesh prim found");
}

TEST(UsdcReaderScene, RefusesPathTreesThatLeaveTheTable) {
  TestCrate crate;
  crate.set_scene({test::mesh_prim(crate, "m", kTriangle, {3}, {0, 1, 2})});
  TestCrate jump_out = crate;
  jump_out.jumps[1] = 100;
  EXPECT_EQ(error_of(jump_out.build()), "USD parse error: malformed path tree");
  TestCrate no_end = crate;
  no_end.jumps.back() = 0;
  EXPECT_EQ(error_of(no_end.build()), "USD parse error: malformed path tree");
  // Every entry jumps back to the start as a sibling: the visit count ends it.
  TestCrate cycle = crate;
  for (int32_t& j : cycle.jumps) j = 1;
  EXPECT_EQ(error_of(cycle.build()), "USD parse error: malformed path tree");
  TestCrate bad_token = crate;
  bad_token.element_tokens[2] = -static_cast<int32_t>(bad_token.tokens.size());
  EXPECT_EQ(error_of(bad_token.build()), "USD parse error: path entry out of range");
  bad_token.element_tokens[2] = INT32_MIN;
  EXPECT_EQ(error_of(bad_token.build()), "USD parse error: path entry out of range");
}

// Section bytes of a written file, found through its table of contents.
struct Layout {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> sections;
  std::vector<uint8_t> head;  // header and value data
};

Layout split(const std::vector<uint8_t>& file) {
  const test::DecodedCrate tables = test::decode_tables(file);
  Layout layout;
  uint64_t first = file.size();
  for (const char* name : {"TOKENS", "STRINGS", "FIELDS", "FIELDSETS", "PATHS", "SPECS"}) {
    const auto [start, size] = tables.sections.at(name);
    first = std::min(first, start);
    layout.sections.push_back({name, std::vector<uint8_t>(file.begin() + start, file.begin() + start + size)});
  }
  layout.head.assign(file.begin(), file.begin() + first);
  return layout;
}

// Header and values, then the table of contents, then the sections in order, the last one cut to
// `last_size` bytes so that the file ends inside it.
std::vector<uint8_t> assemble(const Layout& layout, std::size_t last, uint64_t last_size) {
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < layout.sections.size(); ++k) {
    if (k != last) order.push_back(k);
  }
  order.push_back(last);
  std::vector<uint8_t> file = layout.head;
  const uint64_t toc_offset = file.size();
  uint64_t start = toc_offset + 8 + 32 * order.size();
  std::vector<uint8_t> toc, body;
  append_u64(toc, order.size());
  for (const std::size_t k : order) {
    std::string name = layout.sections[k].first;
    name.resize(16, '\0');
    toc.insert(toc.end(), name.begin(), name.end());
    const std::vector<uint8_t>& bytes = layout.sections[k].second;
    const uint64_t size = k == last ? last_size : bytes.size();
    append_u64(toc, start);
    append_u64(toc, size);
    body.insert(body.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    start += size;
  }
  file.insert(file.end(), toc.begin(), toc.end());
  file.insert(file.end(), body.begin(), body.end());
  for (int k = 0; k < 8; ++k) file[16 + k] = static_cast<uint8_t>(toc_offset >> (8 * k));
  return file;
}

TEST(UsdcReaderContainer, EverySectionCutShortIsRefused) {
  const Layout layout = split(written_file());
  const std::set<std::string> allowed = {
      "USD parse error: unexpected end of file",  "USD parse error: compressed ints truncated",
      "USD parse error: token table truncated",   "USD parse error: field reps truncated",
      "USD parse error: compressed blob size out of bounds"};
  for (std::size_t k = 0; k < layout.sections.size(); ++k) {
    const auto& [name, bytes] = layout.sections[k];
    EXPECT_EQ(error_of(assemble(layout, k, bytes.size())), "no error") << name;
    if (name == "STRINGS") continue;  // never read
    EXPECT_EQ(error_of(assemble(layout, k, 0)), "USD parse error: unexpected end of file") << name;
    for (uint64_t size = 1; size < bytes.size(); ++size) {
      const std::string error = error_of(assemble(layout, k, size));
      EXPECT_TRUE(allowed.count(error) || error.starts_with("USD parse error: lz4: ")) << name << " at " << size
                                                                                        << ": " << error;
    }
  }
}

TEST(UsdcReaderContainer, StopRequestEndsTheRead) {
  RunContext context;
  RunScope scope(&context);
  context.request_stop();
  EXPECT_THROW(read_usdc_bytes(written_file()), Interrupted);
}

TEST(UsdcReaderContainer, ChecksTheHeader) {
  const std::vector<uint8_t> file = written_file();
  EXPECT_EQ(error_of(std::vector<uint8_t>(file.begin(), file.begin() + 87)), "USD parse error: not a USD crate file");
  std::vector<uint8_t> magic = file;
  magic[7] = 'D';
  EXPECT_EQ(error_of(magic), "USD parse error: not a USD crate file");
  const auto with_version = [&](uint8_t major, uint8_t minor, uint8_t patch) {
    std::vector<uint8_t> f = file;
    f[8] = major, f[9] = minor, f[10] = patch;
    return error_of(f);
  };
  EXPECT_EQ(with_version(0, 3, 9), "USD parse error: crate file version 0.3 unsupported (need 0.4.0+)");
  EXPECT_EQ(with_version(1, 0, 0), "USD parse error: crate file version 1.0 unsupported (need 0.4.0+)");
  EXPECT_EQ(with_version(0, 255, 255), "no error");

  // An 88-byte file whose table of contents lies in the header's zero bytes.
  std::vector<uint8_t> header(file.begin(), file.begin() + 88);
  std::fill(header.begin() + 16, header.end(), 0);
  header[16] = 80;
  EXPECT_EQ(error_of(header), "USD parse error: missing TOKENS section");
  header[16] = 81;
  EXPECT_EQ(error_of(header), "USD parse error: unexpected end of file");
}

// The written file with its table of contents replaced by `entries` (name, start, size).
std::vector<uint8_t> with_toc(const std::vector<std::tuple<std::string, uint64_t, uint64_t>>& entries) {
  std::vector<uint8_t> file = written_file();
  const uint64_t toc_offset = load_u64(file.data() + 16);
  file.resize(toc_offset);
  append_u64(file, entries.size());
  for (const auto& [name, start, size] : entries) {
    std::string padded = name;
    padded.resize(16, '\0');
    file.insert(file.end(), padded.begin(), padded.end());
    append_u64(file, start);
    append_u64(file, size);
  }
  return file;
}

TEST(UsdcReaderContainer, ChecksTheTableOfContents) {
  const test::DecodedCrate tables = test::decode_tables(written_file());
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> entries;
  for (const auto& [name, range] : tables.sections) entries.emplace_back(name, range.first, range.second);
  EXPECT_EQ(error_of(with_toc(entries)), "no error");

  auto padded = entries;
  while (padded.size() < 64) padded.emplace_back("EXTRA", 0, 0);
  EXPECT_EQ(error_of(with_toc(padded)), "no error");
  padded.emplace_back("EXTRA", 0, 0);
  EXPECT_EQ(error_of(with_toc(padded)), "USD parse error: implausible section count");

  // A later entry of the same name replaces an earlier one.
  auto twice = entries;
  twice.insert(twice.begin(), {"TOKENS", 0, 8});
  EXPECT_EQ(error_of(with_toc(twice)), "no error");
  twice.emplace_back("TOKENS", 0, 8);
  EXPECT_NE(error_of(with_toc(twice)), "no error");

  auto missing = entries;
  std::erase_if(missing, [](const auto& e) { return std::get<0>(e) == "STRINGS"; });
  EXPECT_EQ(error_of(with_toc(missing)), "no error");
  std::erase_if(missing, [](const auto& e) { return std::get<0>(e) == "PATHS"; });
  EXPECT_EQ(error_of(with_toc(missing)), "USD parse error: missing PATHS section");

  const uint64_t length = tables.toc_offset + 8 + 32 * (entries.size() + 1);
  auto beyond = entries;
  beyond.emplace_back("SIXTEEN-LETTERS!", length - 1, 2);
  EXPECT_EQ(error_of(with_toc(beyond)), "USD parse error: section SIXTEEN-LETTERS! out of bounds");
  beyond.back() = {"END", length, 0};
  EXPECT_EQ(error_of(with_toc(beyond)), "no error") << "a section may end where the file ends";
  beyond.back() = {"\xff", UINT64_MAX, 2};
  EXPECT_EQ(error_of(with_toc(beyond)), "USD parse error: section \xEF\xBF\xBD out of bounds");

  std::vector<uint8_t> cut = with_toc(entries);
  cut.resize(cut.size() - 9);
  EXPECT_EQ(error_of(cut), "USD parse error: unexpected end of file");
}

TEST(UsdcReaderContainer, FlippedBytesEndInAnErrorOrAMesh) {
  const std::vector<uint8_t> file = written_file();
  std::size_t errors = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> corrupt = file;
      corrupt[i] ^= mask;
      try {
        const MeshData mesh = read_usdc_bytes(corrupt);
        for (const Tri& t : mesh.triangles) {
          for (const uint32_t v : t) ASSERT_LT(v, mesh.positions.size());
        }
      } catch (const IoError&) {
        ++errors;
      }
    }
  }
  EXPECT_GT(errors, file.size());
}

// A framed LZ4 blob of `size` NUL bytes: one literal zero, a match of the rest at distance 1
// (its length in bytes of 255), and the five literals a block ends with.
std::vector<uint8_t> zeros_blob(uint64_t size) {
  std::vector<uint8_t> blob = {0, 0x1F, 0, 1, 0};
  for (uint64_t left = size - 1 - 5 - 4 - 15;; left -= 255) {
    blob.push_back(static_cast<uint8_t>(std::min<uint64_t>(left, 255)));
    if (left < 255) break;
  }
  blob.insert(blob.end(), {0x50, 0, 0, 0, 0, 0});
  return blob;
}

// A token table of 1 GiB of NUL bytes, which LZ4 stores in 4 MiB: a billion empty tokens would
// take tens of GiB as a list, and are refused before anything is decoded.
TEST(UsdcReaderContainer, TokenTableBombIsAParseError) {
  EXPECT_EQ(decompress_lz4_blob(zeros_blob(1 << 20), 1 << 20), std::vector<uint8_t>(1 << 20, 0));
  constexpr uint64_t kRaw = uint64_t{1} << 30;
  const std::vector<uint8_t> blob = zeros_blob(kRaw);
  TestCrate crate;
  crate.set_scene({test::mesh_prim(crate, "m", kTriangle, {3}, {0, 1, 2})});
  std::vector<uint8_t> file = crate.build();
  const uint64_t tokens_at = test::decode_tables(file).sections["TOKENS"].first;
  std::vector<uint8_t> section;
  append_u64(section, kRaw + 1);
  append_u64(section, kRaw);
  append_u64(section, blob.size());
  section.insert(section.end(), blob.begin(), blob.end());
  // The new section goes where the table of contents stood, which follows it, pointing at it.
  const uint64_t toc = load_u64(&file[16]);
  std::vector<uint8_t> entries(file.begin() + static_cast<std::ptrdiff_t>(toc), file.end());
  file.resize(toc);
  const uint64_t start = file.size();
  file.insert(file.end(), section.begin(), section.end());
  for (uint64_t k = 0; k < load_u64(entries.data()); ++k) {
    uint8_t* entry = &entries[8 + 32 * k];
    if (load_u64(entry + 16) != tokens_at) continue;
    for (int i = 0; i < 8; ++i) entry[16 + i] = static_cast<uint8_t>(start >> (8 * i));
    for (int i = 0; i < 8; ++i) entry[24 + i] = static_cast<uint8_t>(section.size() >> (8 * i));
  }
  for (int i = 0; i < 8; ++i) file[16 + i] = static_cast<uint8_t>(file.size() >> (8 * i));
  file.insert(file.end(), entries.begin(), entries.end());
  EXPECT_EQ(error_of(file), "USD parse error: implausible token table");
}

TEST(UsdcReaderContainer, RefusesImpossibleTableCounts) {
  const Layout layout = split(written_file());
  const auto with_section = [&](const std::string& name, auto&& edit) {
    Layout changed = layout;
    for (auto& [n, bytes] : changed.sections) {
      if (n == name) edit(bytes);
    }
    return error_of(assemble(changed, 0, changed.sections[0].second.size()));
  };
  const auto set_u64 = [](std::size_t at, uint64_t value) {
    return [=](std::vector<uint8_t>& b) {
      for (int k = 0; k < 8; ++k) b[at + k] = static_cast<uint8_t>(value >> (8 * k));
    };
  };
  EXPECT_EQ(with_section("TOKENS", set_u64(8, (uint64_t{8} << 30) + 1)), "USD parse error: implausible token table");
  EXPECT_EQ(with_section("TOKENS", set_u64(0, 1000)), "USD parse error: implausible token table");
  // A claim of 8 GiB of token text is plausible; the few bytes present hold too few tokens.
  EXPECT_EQ(with_section("TOKENS",
                         [&](std::vector<uint8_t>& b) {
                           set_u64(0, 30)(b);
                           set_u64(8, uint64_t{8} << 30)(b);
                         }),
            "USD parse error: token table truncated");
  // More tokens than compressed bytes: each compressed byte brings at most one token of a table
  // that lists every token once.
  EXPECT_EQ(with_section("TOKENS",
                         [&](std::vector<uint8_t>& b) {
                           set_u64(0, load_u64(&b[16]) + 2)(b);
                           set_u64(8, uint64_t{8} << 30)(b);
                         }),
            "USD parse error: implausible token table");
  EXPECT_EQ(with_section("FIELDS", set_u64(0, uint64_t{1} << 40)), "USD parse error: implausible field count");
  EXPECT_EQ(with_section("FIELDSETS", set_u64(0, uint64_t{1} << 40)), "USD parse error: implausible fieldset count");
  EXPECT_EQ(with_section("PATHS", set_u64(8, uint64_t{1} << 40)), "USD parse error: implausible path count");
  EXPECT_EQ(with_section("SPECS", set_u64(0, uint64_t{1} << 40)), "USD parse error: implausible spec count");
  // A count the file could hold but its compressed ints cannot.
  EXPECT_EQ(with_section("SPECS", set_u64(0, 500)), "USD parse error: compressed ints truncated");
}

}  // namespace
}  // namespace morvane::io
