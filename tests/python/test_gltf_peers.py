"""glTF files checked by independent readers: every GLB and JSON glTF file morvane_reduce writes must
pass the Khronos glTF validator without errors and load in trimesh with the same positions and
triangles, and what glTF cannot hold is refused; glTF files
made elsewhere (Debian's assimp-testmodels) must load, or fail with a clear message when broken."""

import json
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import morvane_reduce as mr
from conftest import box_arrays, icosphere_arrays

ROOT = pathlib.Path(__file__).resolve().parents[2]
VALIDATOR = ROOT / "tools" / "node_modules" / "gltf-validator"
ASSIMP_GLTF2 = pathlib.Path("/usr/share/assimp/models/glTF2")

# Prints, for each file named on the command line, the validator's error count and error messages.
VALIDATE_JS = """
const validator = require(process.argv[1]);
const fs = require('fs');
(async () => {
  const reports = [];
  for (const file of process.argv.slice(2)) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)));
    reports.push({errors: report.issues.numErrors,
                  messages: report.issues.messages.filter(m => m.severity === 0).map(m => m.code + ': ' + m.message)});
  }
  console.log(JSON.stringify(reports));
})().catch(error => { console.error(String(error)); process.exit(1); });
"""


def validate(paths):
    if shutil.which("node") is None or not VALIDATOR.is_dir():
        pytest.skip("the glTF validator (Node.js package gltf-validator) is not installed")
    done = subprocess.run(["node", "-e", VALIDATE_JS, str(VALIDATOR), *map(str, paths)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def strip_arrays(count=50):
    positions = np.array([[i * 0.5, (i % 3) * 1.25 - 7.0, -0.1 * i] for i in range(count + 2)], dtype=np.float64)
    return positions, np.array([[i, i + 1, i + 2] for i in range(count)], dtype=np.uint32)


def far_box_arrays():
    """A box far from the origin with coordinates that do not survive narrowing to f32 exactly."""
    positions, indices = box_arrays((0.1, 1e-3, 3.3))
    return positions + np.array([1e6 + 0.123456789, -2.5e5, 1.0 / 3.0]), indices


MESHES = {
    "triangle": (np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=np.float64), np.array([[0, 1, 2]], dtype=np.uint32)),
    "box": box_arrays(),
    "sphere": icosphere_arrays(3),
    "strip": strip_arrays(),
    "far_box": far_box_arrays(),
}


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Each mesh saved once as .glb and once as .gltf."""
    folder = tmp_path_factory.mktemp("written")
    files = {}
    for name, (positions, indices) in MESHES.items():
        mesh = mr.Mesh.from_numpy(positions, indices)
        for extension in ("glb", "gltf"):
            path = folder / f"{name}.{extension}"
            mr.save(mesh, str(path))
            files[name, extension] = path
    return files


class TestWhatWeWrite:
    def test_the_validator_finds_no_error(self, written):
        paths = list(written.values())
        for path, report in zip(paths, validate(paths)):
            assert report["errors"] == 0, (path.name, report["messages"])

    @pytest.mark.parametrize("name", sorted(MESHES))
    def test_trimesh_reads_the_same_positions_and_triangles(self, written, name):
        trimesh = pytest.importorskip("trimesh")
        positions, indices = MESHES[name]
        for extension in ("glb", "gltf"):
            loaded = trimesh.load(str(written[name, extension]), force="mesh", process=False)
            np.testing.assert_array_equal(np.asarray(loaded.vertices), positions.astype(np.float32).astype(np.float64))
            np.testing.assert_array_equal(np.asarray(loaded.faces), indices.astype(np.int64))

    def test_gltf_path_gets_a_json_document_with_its_buffer_embedded(self, written):
        document = json.loads(written["box", "gltf"].read_text())
        buffer, = document["buffers"]
        assert buffer["uri"].startswith("data:application/octet-stream;base64,")
        assert buffer["byteLength"] == 8 * 12 + 12 * 12

    @pytest.mark.parametrize("coordinate", [np.nan, np.inf, 1e39])
    @pytest.mark.parametrize("extension", ["glb", "gltf"])
    def test_non_finite_positions_are_refused(self, tmp_path, coordinate, extension):
        positions, indices = MESHES["triangle"]
        positions = positions.copy()
        positions[1, 2] = coordinate
        path = tmp_path / f"bad.{extension}"
        with pytest.raises(ValueError, match=r"^I/O error: glTF positions must be finite 32-bit floats: vertex 1 is "):
            mr.save(mr.Mesh.from_numpy(positions, indices), str(path))
        assert not path.exists()

    @pytest.mark.parametrize("name", sorted(MESHES))
    def test_we_read_back_what_we_wrote(self, written, name):
        positions, indices = MESHES[name]
        for extension in ("glb", "gltf"):
            mesh = mr.load(str(written[name, extension]))
            np.testing.assert_array_equal(mesh.positions(), positions.astype(np.float32).astype(np.float64))
            np.testing.assert_array_equal(mesh.indices(), indices)


class TestWhatTrimeshWrites:
    def test_trimesh_glb_loads_with_its_triangles(self, tmp_path):
        trimesh = pytest.importorskip("trimesh")
        positions, indices = icosphere_arrays(2)
        path = tmp_path / "from_trimesh.glb"
        trimesh.Trimesh(positions, indices, process=False).export(str(path))
        mesh = mr.load(str(path))
        np.testing.assert_array_equal(mesh.indices(), indices)
        np.testing.assert_allclose(mesh.positions(), positions, rtol=0, atol=1e-6)


def sparse_positions_gltf(path, byte_stride=None):
    """A triangle whose POSITION accessor has no bufferView: zeros, two of them replaced by sparse values."""
    import base64
    indices = np.array([0, 1, 2, 0], dtype=np.uint16).tobytes()  # one padding index
    which = np.array([1, 2], dtype=np.uint16).tobytes()
    values = np.array([[1, 0, 0], [0, 2, 0]], dtype=np.float32).tobytes()
    data = indices + which + values
    view = {"buffer": 0, "byteOffset": 8 + 4, "byteLength": 24}
    if byte_stride is not None:
        view["byteStride"] = byte_stride
    document = {
        "asset": {"version": "2.0"},
        "buffers": [{"byteLength": len(data),
                     "uri": "data:application/octet-stream;base64," + base64.b64encode(data).decode()}],
        "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 6, "target": 34963},
                        {"buffer": 0, "byteOffset": 8, "byteLength": 4}, view],
        "accessors": [
            {"componentType": 5126, "count": 3, "type": "VEC3", "min": [0, 0, 0], "max": [1, 2, 0],
             "sparse": {"count": 2, "indices": {"bufferView": 1, "componentType": 5123},
                        "values": {"bufferView": 2}}},
            {"bufferView": 0, "componentType": 5123, "count": 3, "type": "SCALAR"}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
        "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}], "scene": 0,
    }
    path.write_text(json.dumps(document))
    return path


class TestValidFilesMadeByHand:
    def test_sparse_positions_without_buffer_view(self, tmp_path):
        path = sparse_positions_gltf(tmp_path / "sparse.gltf")
        report, = validate([path])
        assert report["errors"] == 0, report["messages"]
        mesh = mr.load(str(path))
        np.testing.assert_array_equal(mesh.positions(), [[0, 0, 0], [1, 0, 0], [0, 2, 0]])
        np.testing.assert_array_equal(mesh.indices(), [[0, 1, 2]])

    def test_negative_byte_stride_is_refused_as_the_validator_refuses_it(self, tmp_path):
        path = sparse_positions_gltf(tmp_path / "stride.gltf", byte_stride=-12)
        report, = validate([path])
        assert report["errors"] > 0
        with pytest.raises(ValueError, match=r"^OBJ parse error: glTF: bufferView 2: byteStride -12 is not a "):
            mr.load(str(path))


needs_assimp_models = pytest.mark.skipif(not ASSIMP_GLTF2.is_dir(),
                                         reason="Debian's assimp-testmodels is not installed")

# Files of assimp-testmodels that hold triangle meshes: their vertex and triangle counts.
READABLE = {
    "2CylinderEngine-glTF-Binary/2CylinderEngine.glb": (55843, 75730),
    "BoxBadNormals-glTF-Binary/BoxBadNormals.glb": (24, 12),
    "BoxTexcoords-glTF/boxTexcoords.gltf": (24, 12),
    "BoxTextured-glTF/BoxTextured.gltf": (24, 12),
    "BoxTextured-glTF-Binary/BoxTextured.glb": (24, 12),
    "BoxTextured-glTF-Embedded/BoxTextured.gltf": (24, 12),
    "BoxTextured-glTF-pbrSpecularGlossiness/BoxTextured.gltf": (24, 12),
    "BoxWithInfinites-glTF-Binary/BoxWithInfinites.glb": (24, 12),
    "ClearCoat-glTF/ClearCoatTest.gltf": (20106, 37116),
    "cameras/Cameras.gltf": (4, 2),
    "glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf": (24, 12),
    "glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_06.gltf": (6, 2),
    "glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_13.gltf": (4, 2),
    "issue_3269/texcoord_crash.gltf": (20, 10),
    "simple_skin/simple_skin.gltf": (10, 8),
    "textureTransform/TextureTransformTest.gltf": (36, 18),
}

# Files that are broken, or that hold nothing this reader can take, with the message they must give.
REFUSED = {
    "IndexOutOfRange/IndexOutOfRange.gltf": "glTF: mesh 0, primitive 0: index 255 is out of range for 24 vertices",
    "IndexOutOfRange/AllIndicesOutOfRange.gltf": "is out of range for 24 vertices",
    "MissingBin/BoxTextured.gltf": "BoxTextured0.bin : No such file or directory",
    "draco/2CylinderEngine.gltf": "glTF: unsupported required extensions: KHR_draco_mesh_compression",
    "BoxTextured-glTF-techniqueWebGL/BoxTextured.gltf": "glTF: unsupported required extensions: KHR_technique_webgl",
    "glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_00.gltf": "no triangle meshes found in glTF",
    "glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_04.gltf": "no triangle meshes found in glTF",
    "glTF-Asset-Generator/Mesh_PrimitiveMode/Mesh_PrimitiveMode_05.gltf": "no triangle meshes found in glTF",
    "RecursiveNodes/RecursiveNodes.gltf": "no triangle meshes found in glTF",
    "wrongTypes/badArray.gltf": "no triangle meshes found in glTF",
}


@needs_assimp_models
class TestFilesMadeElsewhere:
    @pytest.mark.parametrize("name", sorted(READABLE))
    def test_readable_files_load(self, name):
        mesh = mr.load(str(ASSIMP_GLTF2 / name))
        assert (mesh.vertex_count, mesh.face_count) == READABLE[name]
        assert mesh.indices().max() < mesh.vertex_count

    @pytest.mark.parametrize("name", sorted(REFUSED))
    def test_broken_files_fail_with_a_clear_message(self, name):
        with pytest.raises(ValueError) as raised:
            mr.load(str(ASSIMP_GLTF2 / name))
        assert str(raised.value).startswith("OBJ parse error: ")
        assert REFUSED[name] in str(raised.value)

    def test_every_gltf2_file_loads_or_fails_cleanly(self):
        for path in sorted(ASSIMP_GLTF2.rglob("*")):
            if path.suffix not in (".gltf", ".glb"):
                continue
            try:
                mesh = mr.load(str(path))
            except ValueError as error:
                assert str(error).startswith("OBJ parse error: "), (path, str(error))
            else:
                assert mesh.face_count > 0, path
