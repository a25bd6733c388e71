"""USD files checked against the reference USD library (pxr): what morvane_reduce writes, pxr must
read the same way, and what pxr writes, of every crate version it can write, morvane_reduce must
read the same way."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane_reduce as mr
from conftest import icosphere_arrays

pytest.importorskip("pxr", reason="the reference USD library (usd-core) is not installed")
from pxr import Sdf, Usd, UsdGeom  # noqa: E402


def strip_mesh(triangles=20):
    positions = np.array([[i * 0.5, (i % 3) * 1.25, -0.1 * i] for i in range(triangles + 2)], dtype=np.float64)
    indices = np.array([[i, i + 1, i + 2] for i in range(triangles)], dtype=np.uint32)
    return mr.Mesh.from_numpy(positions, indices)


def fan_triangles(counts, indices, left_handed=False):
    triangles, offset = [], 0
    for count in counts:
        for k in range(1, count - 1):
            a, b, c = indices[offset], indices[offset + k], indices[offset + k + 1]
            triangles.append((a, c, b) if left_handed else (a, b, c))
        offset += count
    return triangles


def textured_cube(directory):
    """A unit cube OBJ with a texture coordinate at each face corner; returns its path."""
    source = directory / "in.obj"
    lines = [f"v {x} {y} {z}" for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    lines += [f"vt {u} {v}" for u in (0, 1) for v in (0, 1)]
    for a, b, c, d in [(1, 3, 4, 2), (5, 6, 8, 7), (1, 2, 6, 5), (3, 7, 8, 4), (1, 5, 7, 3), (2, 4, 8, 6)]:
        lines.append(f"f {a}/1 {b}/2 {c}/4 {d}/3")
    source.write_text("\n".join(lines) + "\n")
    return source


def open_proxy(path):
    stage = Usd.Stage.Open(str(path))
    assert stage is not None
    prim = stage.GetPrimAtPath("/proxy")
    assert prim.GetTypeName() == "Mesh"
    return stage, UsdGeom.Mesh(prim)


class TestPxrReadsWhatWeWrite:
    @pytest.mark.parametrize("name", ["m.usda", "m.usd", "m.usdc"])
    def test_layer_metadata_and_mesh(self, tmp_path, name):
        mesh = strip_mesh(20)
        mr.save(mesh, str(tmp_path / name))
        stage, usd_mesh = open_proxy(tmp_path / name)
        assert UsdGeom.GetStageUpAxis(stage) == UsdGeom.Tokens.y
        assert UsdGeom.GetStageMetersPerUnit(stage) == 1.0
        assert stage.GetDefaultPrim().GetPath() == Sdf.Path("/proxy")
        assert usd_mesh.GetPurposeAttr().Get() == "proxy"
        assert usd_mesh.GetSubdivisionSchemeAttr().Get() == "none"
        assert usd_mesh.GetOrientationAttr().Get() == "rightHanded"

        # The text holds every digit the float32 of the crate needs.
        points = np.array(usd_mesh.GetPointsAttr().Get(), dtype=np.float64)
        expected = mesh.positions().astype(np.float32).astype(np.float64)
        np.testing.assert_array_equal(points, expected)
        assert list(usd_mesh.GetFaceVertexCountsAttr().Get()) == [3] * mesh.face_count
        assert list(usd_mesh.GetFaceVertexIndicesAttr().Get()) == mesh.indices().reshape(-1).tolist()
        extent = np.array(usd_mesh.GetExtentAttr().Get(), dtype=np.float64)
        np.testing.assert_array_equal(extent, [expected.min(axis=0), expected.max(axis=0)])

    @pytest.mark.parametrize("name", ["e.usda", "e.usdc"])
    def test_empty_mesh(self, tmp_path, name):
        empty = mr.Mesh.from_numpy(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.uint32))
        mr.save(empty, str(tmp_path / name))
        _, usd_mesh = open_proxy(tmp_path / name)
        assert len(usd_mesh.GetPointsAttr().Get()) == 0
        assert len(usd_mesh.GetFaceVertexIndicesAttr().Get()) == 0
        assert [tuple(e) for e in usd_mesh.GetExtentAttr().Get()] == [(0, 0, 0), (0, 0, 0)]

    @pytest.mark.parametrize("name", ["n.usda", "n.usdc"])
    def test_non_finite_coordinates(self, tmp_path, name):
        positions = np.array([[math.nan, 1.0, 0.0], [1.0, math.inf, 0.0], [0.0, 1.0, -math.inf]])
        mesh = mr.Mesh.from_numpy(positions, np.array([[0, 1, 2]], dtype=np.uint32))
        mr.save(mesh, str(tmp_path / name))
        _, usd_mesh = open_proxy(tmp_path / name)
        points = np.array(usd_mesh.GetPointsAttr().Get(), dtype=np.float64)
        assert math.isnan(points[0][0])
        assert points[1][1] == math.inf and points[2][2] == -math.inf
        extent = np.array(usd_mesh.GetExtentAttr().Get())
        assert extent[0][0] == 0.0 and extent[1][0] == 1.0  # NaN stays out of the extent

    @pytest.mark.parametrize("name", ["p.usda", "p.usdc"])
    def test_proxy_attributes_are_face_varying(self, tmp_path, name):
        source = textured_cube(tmp_path)
        report = mr.proxy_from_path(str(source), str(tmp_path / name), voxel_res=16, transfer_uvs=True)
        _, usd_mesh = open_proxy(tmp_path / name)
        corners = 3 * report["output_faces"]
        assert len(usd_mesh.GetFaceVertexIndicesAttr().Get()) == corners
        assert usd_mesh.GetNormalsInterpolation() == UsdGeom.Tokens.faceVarying
        assert len(usd_mesh.GetNormalsAttr().Get()) == corners
        st = UsdGeom.PrimvarsAPI(usd_mesh).GetPrimvar("st")
        assert st.GetInterpolation() == UsdGeom.Tokens.faceVarying
        assert st.GetTypeName() == Sdf.ValueTypeNames.TexCoord2fArray
        assert len(st.Get()) == corners
        props = [p.GetName() for p in usd_mesh.GetPrim().GetAuthoredProperties()]
        assert props == ["extent", "faceVertexCounts", "faceVertexIndices", "normals", "points", "primvars:st",
                         "purpose", "subdivisionScheme"]

    def test_text_and_crate_hold_the_same_floats(self, tmp_path):
        """A sphere two micrometres across, and a proxy's normals and texture coordinates: pxr reads the
        same float32 values from the .usda as from the .usdc."""
        tiny = mr.Mesh.from_numpy(*icosphere_arrays(3, radius=1e-6))
        source = textured_cube(tmp_path)
        for name in ("m.usda", "m.usdc"):
            mr.save(tiny, str(tmp_path / name))
            mr.proxy_from_path(str(source), str(tmp_path / ("p" + name)), voxel_res=16, transfer_uvs=True)
        _, text_mesh = open_proxy(tmp_path / "m.usda")
        assert len(np.unique(np.array(text_mesh.GetPointsAttr().Get()), axis=0)) == tiny.vertex_count

        def floats(path):
            _, usd_mesh = open_proxy(path)
            st = UsdGeom.PrimvarsAPI(usd_mesh).GetPrimvar("st")
            return [np.array(usd_mesh.GetPointsAttr().Get()), np.array(usd_mesh.GetExtentAttr().Get()),
                    np.array(usd_mesh.GetNormalsAttr().Get()), np.array(st.Get() if st.IsDefined() else [])]

        for name in ("m", "pm"):
            for text, crate in zip(floats(tmp_path / f"{name}.usda"), floats(tmp_path / f"{name}.usdc")):
                np.testing.assert_array_equal(text, crate)


def write_with_pxr(directory, version=None):
    """Writes one layer of every kind into `directory` with pxr, in a child process so that the crate
    version setting takes effect."""
    script = textwrap.dedent(
        """
        import sys
        from pxr import Usd, UsdGeom, Sdf, Vt

        def write(path, kind):
            stage = Usd.Stage.CreateNew(path)
            UsdGeom.Xform.Define(stage, "/World")
            mesh = UsdGeom.Mesh.Define(stage, "/World/mesh")
            if kind == "grid":
                n = 12
                mesh.CreatePointsAttr([(i, j, (i * j) % 7 * 0.25) for j in range(n + 1) for i in range(n + 1)])
                counts, indices = [], []
                for j in range(n):
                    for i in range(n):
                        a = j * (n + 1) + i
                        if (i + j) % 3 == 0:
                            counts.append(4)
                            indices += [a, a + 1, a + n + 2, a + n + 1]
                        else:
                            counts += [3, 3]
                            indices += [a, a + 1, a + n + 2, a, a + n + 2, a + n + 1]
                mesh.CreateFaceVertexCountsAttr(counts)
                mesh.CreateFaceVertexIndicesAttr(indices)
            elif kind == "pentagon":
                mesh.CreatePointsAttr([(0, 0, 0), (1, 0, 0), (1.5, 1, 0), (0.5, 2, 0), (-0.5, 1, 0)])
                mesh.CreateFaceVertexCountsAttr([5])
                mesh.CreateFaceVertexIndicesAttr([0, 1, 2, 3, 4])
                mesh.CreateOrientationAttr(UsdGeom.Tokens.leftHanded)
            elif kind == "empty":
                mesh.CreatePointsAttr([])
                mesh.CreateFaceVertexCountsAttr([])
                mesh.CreateFaceVertexIndicesAttr([])
            elif kind == "double":
                points = mesh.GetPrim().CreateAttribute("points", Sdf.ValueTypeNames.Point3dArray)
                points.Set(Vt.Vec3dArray([(0.1, 0.2, 0.3), (1e-17, 1, 2), (3, 4, 5.000000000001)]))
                mesh.CreateFaceVertexCountsAttr([3])
                mesh.CreateFaceVertexIndicesAttr([0, 2, 1])
            elif kind == "two":
                other = UsdGeom.Mesh.Define(stage, "/A")
                other.CreatePointsAttr([(9, 9, 9), (8, 8, 8), (7, 7, 7)])
                other.CreateFaceVertexCountsAttr([3])
                other.CreateFaceVertexIndicesAttr([0, 1, 2])
                mesh.CreatePointsAttr([(0, 0, 0), (1, 0, 0), (0, 1, 0)])
                mesh.CreateFaceVertexCountsAttr([3])
                mesh.CreateFaceVertexIndicesAttr([0, 1, 2])
            stage.GetRootLayer().Save()

        for kind in KINDS:
            write(f"{sys.argv[1]}/{kind}.usdc", kind)
        """
    )
    env = dict(os.environ, PXR_USDC_EMIT_DEPRECATION_WARNINGS="0")
    if version:
        env["USD_WRITE_NEW_USDC_FILES_AS_VERSION"] = version
    script = script.replace("KINDS", repr(KINDS))
    subprocess.run([sys.executable, "-c", script, str(directory)], env=env, check=True, capture_output=True)


def pxr_value(attribute):
    """The attribute's value as morvane_reduce takes it: at the default time, else at the earliest time."""
    value = attribute.Get()
    return attribute.Get(Usd.TimeCode.EarliestTime()) if value is None else value


def pxr_meshes(path):
    """Every mesh of the layer as pxr reads it: (path, points, triangles)."""
    stage = Usd.Stage.Open(str(path))
    meshes = []
    for prim in stage.Traverse():
        if prim.GetTypeName() != "Mesh":
            continue
        mesh = UsdGeom.Mesh(prim)
        points = [tuple(float(c) for c in p) for p in (pxr_value(mesh.GetPointsAttr()) or [])]
        left = mesh.GetOrientationAttr().Get() == UsdGeom.Tokens.leftHanded
        triangles = fan_triangles(list(pxr_value(mesh.GetFaceVertexCountsAttr()) or []),
                                  list(pxr_value(mesh.GetFaceVertexIndicesAttr()) or []), left)
        meshes.append((str(prim.GetPath()), points, triangles))
    return meshes


KINDS = ["grid", "pentagon", "empty", "double", "two"]
CRATE_VERSIONS = [None, "0.4.0", "0.5.0", "0.6.0", "0.7.0", "0.8.0", "0.9.0", "0.10.0"]


@pytest.fixture(scope="module")
def pxr_files(tmp_path_factory):
    """Directory of pxr-written layers for each crate version (None: pxr's default)."""
    directories = {}
    for version in CRATE_VERSIONS:
        directory = tmp_path_factory.mktemp(f"pxr-{version or 'default'}")
        write_with_pxr(directory, version)
        directories[version] = directory
    return directories


class TestWeReadWhatPxrWrites:
    @pytest.mark.parametrize("version", CRATE_VERSIONS)
    @pytest.mark.parametrize("kind", ["grid", "pentagon", "empty", "double"])
    def test_crate_versions(self, pxr_files, kind, version):
        path = pxr_files[version] / f"{kind}.usdc"
        (_, points, triangles), = pxr_meshes(path)
        loaded = mr.load(str(path))
        assert [tuple(p) for p in loaded.positions().tolist()] == points
        assert [tuple(t) for t in loaded.indices().tolist()] == triangles

    def test_the_first_of_several_meshes_in_namespace_order(self, tmp_path, pxr_files):
        crate = pxr_files[None] / "two.usdc"
        text = tmp_path / "two.usda"
        assert Sdf.Layer.FindOrOpen(str(crate)).Export(str(text))
        for path in (crate, text):
            (name, points, triangles), _ = pxr_meshes(path)
            assert name == "/World/mesh"
            loaded = mr.load(str(path))
            assert [tuple(p) for p in loaded.positions().tolist()] == points
            assert [tuple(t) for t in loaded.indices().tolist()] == triangles

    @pytest.mark.parametrize("extension", ["usda", "usdc"])
    def test_metadata_namespace_order_and_time_samples_read_alike_in_both_encodings(self, tmp_path, extension):
        path = tmp_path / f"stage.{extension}"
        stage = Usd.Stage.CreateNew(str(path))
        UsdGeom.Xform.Define(stage, "/World")
        for name, x in (("Zeta", 0), ("Alpha", 10)):
            mesh = UsdGeom.Mesh.Define(stage, f"/World/{name}")
            mesh.CreatePointsAttr([(x, 0, 0), (x + 1, 0, 0), (x, 1, 0)])
            mesh.CreateFaceVertexCountsAttr([3])
            mesh.CreateFaceVertexIndicesAttr([0, 1, 2])
        UsdGeom.Mesh.Define(stage, "/Later")
        zeta = UsdGeom.Mesh.Get(stage, "/World/Zeta")
        zeta.GetPrim().SetCustomData({"note": "a { brace", "nested": {"n": 1}})
        points = zeta.GetPointsAttr()
        points.Clear()
        points.Set([(5, 5, 5), (6, 5, 5), (5, 6, 5)], 2.0)
        points.Set([(7, 7, 7), (8, 7, 7), (7, 8, 7)], -1.5)
        stage.GetRootLayer().Save()

        reopened = Usd.Stage.Open(str(path))
        first = next(prim for prim in reopened.Traverse() if prim.GetTypeName() == "Mesh")
        assert first.GetPath() == Sdf.Path("/World/Zeta")
        expected = UsdGeom.Mesh(first).GetPointsAttr().Get(Usd.TimeCode.EarliestTime())
        loaded = mr.load(str(path))
        assert [tuple(p) for p in loaded.positions().tolist()] == [tuple(p) for p in expected]
        assert loaded.indices().tolist() == [[0, 1, 2]]

    @pytest.mark.parametrize("kind", ["grid", "pentagon", "double"])
    def test_text_layers(self, tmp_path, pxr_files, kind):
        crate = pxr_files[None] / f"{kind}.usdc"
        text = tmp_path / f"{kind}.usda"
        assert Sdf.Layer.FindOrOpen(str(crate)).Export(str(text))
        (_, points, triangles), = pxr_meshes(text)
        loaded = mr.load(str(text))
        np.testing.assert_allclose(loaded.positions(), np.array(points).reshape(-1, 3), rtol=1e-6, atol=1e-6)
        assert [tuple(t) for t in loaded.indices().tolist()] == triangles

    def test_round_trip_through_pxr(self, tmp_path):
        mesh = strip_mesh(40)
        mr.save(mesh, str(tmp_path / "ours.usdc"))
        layer = Sdf.Layer.FindOrOpen(str(tmp_path / "ours.usdc"))
        assert layer.Export(str(tmp_path / "theirs.usdc"))
        assert layer.Export(str(tmp_path / "theirs.usda"))
        for name in ("theirs.usdc", "theirs.usda"):
            loaded = mr.load(str(tmp_path / name))
            np.testing.assert_array_equal(loaded.indices(), mesh.indices())
            np.testing.assert_allclose(loaded.positions(), mesh.positions(), atol=1e-6)


def mesh(name, x, indent="", header="", body=""):
    """A def Mesh block: one triangle whose points start at (x, 0, 0), so that each mesh of a layer is
    told apart by its points."""
    lines = [f'def Mesh "{name}"{header}', "{", *body.splitlines(),
             "    int[] faceVertexCounts = [3]", "    int[] faceVertexIndices = [0, 1, 2]",
             f"    point3f[] points = [({x}, 0, 0), ({x + 1}, 0, 0), ({x}, 1, 0)]", "}"]
    return "".join(f"{indent}{line}\n" for line in lines)


def variant_layer(children):
    return ('def Xform "B" (\n    variants = {\n        string v = "two"\n    }\n    prepend variantSets = "v"\n)\n'
            '{\n    variantSet "v" = {\n        "one" {\n' + mesh("m1", 1, " " * 12) + "        }\n"
            '        "two" {\n' + children + "        }\n    }\n}\n")


# Layers whose first Mesh in pxr's traversal is not the first "def Mesh" of the text, or whose
# attributes have names that end in the names the reader wants; each with the path pxr reaches.
TRAVERSAL_LAYERS = {
    "mesh_under_class": ('class "C"\n{\n' + mesh("m", 1, "    ") + "}\n" + mesh("n", 0), "/n"),
    "mesh_under_over": ('over "O"\n{\n' + mesh("m", 1, "    ") + "}\n" + mesh("n", 0), "/n"),
    "inactive_mesh": (mesh("a", 1, header=" (\n    active = false\n)") + mesh("b", 0), "/b"),
    "nested_mesh": (mesh("outer", 0, body=mesh("inner", 1, "    ")), "/outer"),
    "reorder_root_prims": ('reorder rootPrims = ["B", "A"]\n' + mesh("A", 1) + mesh("B", 0), "/B"),
    "reorder_name_children": ('def Xform "W"\n{\n    reorder nameChildren = ["B", "A"]\n' + mesh("A", 1, "    ")
                              + mesh("B", 0, "    ") + "}\n", "/W/B"),
    "variant_selection": (variant_layer(mesh("m2", 0, " " * 12)), "/B/m2"),
    # Sets in the order "variantSets" lists them; the selection of "w" is made inside variant v=one.
    "selection_made_in_a_variant": (
        'def Xform "B" (\n    variants = {\n        string v = "one"\n    }\n    variantSets = ["v", "w"]\n)\n{\n'
        '    variantSet "v" = {\n        "one" (\n            variants = {\n                string w = "y"\n'
        '            }\n        ) {\n        }\n    }\n    variantSet "w" = {\n        "x" {\n'
        + mesh("mx", 1, " " * 12) + '        }\n        "y" {\n' + mesh("my", 0, " " * 12) + "        }\n    }\n}\n",
        "/B/my"),
    # The mesh's own opinions are stronger than its selected variant's.
    "attributes_from_a_variant": (
        'def Mesh "m" (\n    variants = {\n        string lod = "hi"\n    }\n    prepend variantSets = "lod"\n)\n{\n'
        "    point3f[] points = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]\n"
        '    variantSet "lod" = {\n        "hi" {\n            point3f[] points = [(5, 5, 5), (6, 5, 5), (5, 6, 5)]\n'
        "            int[] faceVertexCounts = [4]\n            int[] faceVertexIndices = [0, 1, 2, 3]\n"
        '            uniform token orientation = "leftHanded"\n        }\n    }\n}\n', "/m"),
    "spaces_after_def": (mesh("a", 0).replace("def Mesh", "def  Mesh  "), "/a"),
    "tab_after_def": (mesh("a", 0).replace("def Mesh", "def\tMesh\t"), "/a"),
    "namespaced_look_alikes": (mesh("m", 0, body="    point3f[] primvars:mypoints = [(7, 7, 7), (8, 8, 8), (9, 9, 9)]\n"
                                                 "    int[] my:faceVertexCountsOld = [4]"), "/m"),
}


def layer_file(directory, text, encoding):
    """The layer as text, or as a crate file that pxr exports from the text."""
    path = directory / "layer.usda"
    path.write_text("#usda 1.0\n" + text)
    if encoding == "usdc":
        crate = directory / "layer.usdc"
        assert Sdf.Layer.FindOrOpen(str(path)).Export(str(crate))
        return crate
    return path


class TestFirstMeshOfTheTraversal:
    @pytest.mark.parametrize("encoding", ["usda", "usdc"])
    @pytest.mark.parametrize("case", TRAVERSAL_LAYERS)
    def test_reads_the_mesh_pxr_reaches_first(self, tmp_path, case, encoding):
        text, expected_path = TRAVERSAL_LAYERS[case]
        path = layer_file(tmp_path, text, encoding)
        name, points, triangles = pxr_meshes(path)[0]
        assert name == expected_path
        loaded = mr.load(str(path))
        assert [tuple(p) for p in loaded.positions().tolist()] == points
        assert [tuple(t) for t in loaded.indices().tolist()] == triangles

    # Arcs that bring in prims or opinions from elsewhere are refused by name, not skipped.
    @pytest.mark.parametrize("encoding", ["usda", "usdc"])
    @pytest.mark.parametrize("construct, text", [
        ("prim /W has references", 'def Xform "W" (\n    prepend references = @other.usda@\n)\n{\n}\n' + mesh("m", 0)),
        ("prim /W has payload", 'def Xform "W" (\n    prepend payload = @other.usda@\n)\n{\n}\n' + mesh("m", 0)),
        ("prim /m has inherits", 'class "C"\n{\n}\n' + mesh("m", 0, header=" (\n    inherits = </C>\n)")),
        ("prim /m has specializes", 'class "C"\n{\n}\n' + mesh("m", 0, header=" (\n    specializes = </C>\n)")),
        ("the layer has subLayers", '(\n    subLayers = [@other.usda@]\n)\n' + mesh("m", 0)),
    ])
    def test_composition_arcs_are_refused(self, tmp_path, construct, text, encoding):
        (tmp_path / "other.usda").write_text("#usda 1.0\n" + mesh("m", 5))
        path = layer_file(tmp_path, text, encoding)
        with pytest.raises(ValueError, match=f"USD parse error: {construct}, which this reader does not compose"):
            mr.load(str(path))


TRIANGLE = "    int[] faceVertexCounts = [3]\n    int[] faceVertexIndices = [0, 1, 2]\n"
SAMPLE = "[(0, 0, 0), (1, 0, 0), (0, 1, 0)]"


def mesh_body(body):
    return 'def Mesh "m"\n{\n' + body + "}\n"


# Layers as a user edits them by hand: comments wherever white space may stand, whatever they hold.
COMMENTED_LAYERS = {
    "hash_between_points": TRIANGLE + "    point3f[] points = [(0, 0, 0), # (5, 5, 5)\n(1, 0, 0), (0, 1, 0)]\n",
    "hash_after_an_int": "    int[] faceVertexCounts = [3, # comment\n]\n    int[] faceVertexIndices = [0, 1, 2]\n"
                         f"    point3f[] points = {SAMPLE}\n",
    "hash_holding_a_parenthesis": TRIANGLE + "    point3f[] points = [(0, 0, 0), # note (\n(1, 0, 0), (0, 1, 0)]\n",
    "hash_holding_a_bracket_in_a_sample": "    int[] faceVertexCounts = [3]\n    int[] faceVertexIndices.timeSamples = {\n"
                                          f"        0: [0, 1, # ]\n2],\n    }}\n    point3f[] points = {SAMPLE}\n",
    "commented_out_sample": TRIANGLE + "    point3f[] points.timeSamples = {\n"
                            f"        # 0: [(5, 5, 5), (6, 5, 5), (5, 6, 5)],\n        1: {SAMPLE},\n    }}\n",
    "hash_after_the_last_sample": TRIANGLE + f"    point3f[] points.timeSamples = {{\n        1: {SAMPLE}, # last: 1\n    }}\n",
    "slashes_before_a_statement": TRIANGLE + f"    point3f[] points = {SAMPLE}\n"
                                  "    // point3f[] points = [(9, 9, 9), (8, 8, 8), (7, 7, 7)]\n",
    "block_comment_over_lines": TRIANGLE + "    /* a { brace\n    and a line */\n"
                                "    point3f[] points = /* (5, 5, 5),\n */ [(0, /* 5, */ 0, 0), (1, 0, 0), (0, 1, 0)]\n",
    "hash_in_strings_and_asset_paths": TRIANGLE + f"    point3f[] points = {SAMPLE}\n"
                                       '    string s.timeSamples = {\n        0: "a # b ]",\n    }\n'
                                       "    asset a = @./x#y.usd@\n",
}

# Values blocked (None) where the reader takes them, and a block that time samples override.
BLOCKED_LAYERS = {
    "earliest_points_sample": ("points", TRIANGLE + "    point3f[] points.timeSamples = {\n        0: None,\n"
                                                    f"        1: {SAMPLE},\n    }}\n"),
    "earliest_counts_sample": ("faceVertexCounts", "    int[] faceVertexCounts.timeSamples = {1: [3], -1: None}\n"
                                                   "    int[] faceVertexIndices = [0, 1, 2]\n"
                                                   f"    point3f[] points = {SAMPLE}\n"),
    "default_without_samples": ("faceVertexIndices", "    int[] faceVertexCounts = [3]\n"
                                                     "    int[] faceVertexIndices = None\n"
                                                     f"    point3f[] points = {SAMPLE}\n"),
    "default_with_samples": (None, TRIANGLE + "    point3f[] points = None\n"
                                              f"    point3f[] points.timeSamples = {{\n        1: {SAMPLE},\n    }}\n"),
}


class TestHandEditedLayers:
    @pytest.mark.parametrize("encoding", ["usda", "usdc"])
    @pytest.mark.parametrize("case", COMMENTED_LAYERS)
    def test_comments_read_as_white_space(self, tmp_path, case, encoding):
        path = layer_file(tmp_path, mesh_body(COMMENTED_LAYERS[case]), encoding)
        (_, points, triangles), = pxr_meshes(path)
        assert points == [(0, 0, 0), (1, 0, 0), (0, 1, 0)] and triangles == [(0, 1, 2)]
        loaded = mr.load(str(path))
        assert [tuple(p) for p in loaded.positions().tolist()] == points
        assert [tuple(t) for t in loaded.indices().tolist()] == triangles

    # Where pxr finds no value (a block at the default time and at the earliest time), both
    # encodings refuse the attribute alike; a block at the default time only leaves the samples.
    @pytest.mark.parametrize("encoding", ["usda", "usdc"])
    @pytest.mark.parametrize("case", BLOCKED_LAYERS)
    def test_blocked_values_are_missing_where_pxr_finds_none(self, tmp_path, case, encoding):
        blocked, body = BLOCKED_LAYERS[case]
        path = layer_file(tmp_path, mesh_body(body), encoding)
        stage = Usd.Stage.Open(str(path))
        prim = stage.GetPrimAtPath("/m")
        for name in ("points", "faceVertexCounts", "faceVertexIndices"):
            assert (pxr_value(prim.GetAttribute(name)) is None) == (name == blocked), name
        if blocked:
            with pytest.raises(ValueError, match=f"^USD parse error: {blocked} missing: its value is blocked \\(None\\)$"):
                mr.load(str(path))
        else:
            (_, points, triangles), = pxr_meshes(path)
            loaded = mr.load(str(path))
            assert [tuple(p) for p in loaded.positions().tolist()] == points
            assert [tuple(t) for t in loaded.indices().tolist()] == triangles
