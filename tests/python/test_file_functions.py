"""load, save and proxy_from_path: results, the result dict, and the messages of each step."""
import pathlib
import re

import numpy as np
import pytest

import morvane_reduce as mr
from conftest import box_arrays, icosphere_arrays, run_python, write_obj

RESULT_KEYS = ["input_path", "output_path", "input_vertices", "input_faces", "output_vertices", "output_faces",
               "wall_seconds"]
UNKNOWN_PRESET = 'unknown quality preset "ultra"; expected fast/balanced/high'


def corners(mesh):
    """Triangle corner positions, shape (M, 3, 3): independent of how the vertices are numbered."""
    return mesh.positions()[mesh.indices()]


def obj_lines(path, kind):
    return [line for line in pathlib.Path(path).read_text().splitlines() if line.split(" ", 1)[0] == kind]


@pytest.fixture
def box_obj(tmp_path):
    return write_obj(tmp_path / "box.obj", *box_arrays((2.0, 1.0, 0.5)))


@pytest.fixture
def textured_obj(tmp_path):
    return write_obj(tmp_path / "sphere.obj", *icosphere_arrays(1), with_uvs=True)


class TestLoad:
    def test_triangles_of_the_file(self, box_obj):
        # The OBJ reader numbers vertices in the order the faces first use them.
        mesh = mr.load(box_obj)
        assert (mesh.vertex_count, mesh.face_count) == (8, 12)
        assert np.array_equal(corners(mesh), corners(mr.Mesh.from_numpy(*box_arrays((2.0, 1.0, 0.5)))))

    def test_file_with_texture_coordinates_gives_just_the_mesh(self, textured_obj):
        mesh = mr.load(textured_obj)
        assert (mesh.vertex_count, mesh.face_count) == (42, 80)

    @pytest.mark.parametrize("name, extension", [("mesh.xyz", "xyz"), ("mesh.OBJ", "OBJ"), ("mesh", ""),
                                                 ("mesh.", "")])
    def test_unsupported_extension_without_path_prefix(self, tmp_path, name, extension):
        with pytest.raises(ValueError) as raised:
            mr.load(str(tmp_path / name))
        assert str(raised.value) == f"unsupported format: {extension}"

    def test_missing_obj_is_the_parse_error_alone(self, tmp_path):
        with pytest.raises(ValueError, match="^OBJ parse error: "):
            mr.load(str(tmp_path / "missing.obj"))

    def test_path_with_nul_byte_is_refused(self, box_obj):
        with pytest.raises(ValueError):
            mr.load(box_obj + "\0.obj")

    def test_gltf_beyond_the_memory_left_raises_memory_error(self, tmp_path):
        # Under an address-space limit, a buffer declared larger than the room left and positions
        # that no buffer holds (zeros with sparse values) fail as memory errors that say what they
        # were for, not as parse errors; a small file then loads under the same limit.
        done = run_python(f"""
            import base64, json, resource
            import numpy
            import morvane_reduce as mr

            def write(name, count, buffers):
                data = numpy.array([0, 1, 2, 1], dtype=numpy.uint16).tobytes()  # indices, then the sparse index
                data += numpy.array([1, 0, 0], dtype=numpy.float32).tobytes()
                uri = "data:application/octet-stream;base64," + base64.b64encode(data).decode()
                document = {{
                    "asset": {{"version": "2.0"}}, "buffers": [{{"byteLength": len(data), "uri": uri}}] + buffers,
                    "bufferViews": [{{"buffer": 0, "byteLength": 6}}, {{"buffer": 0, "byteOffset": 6, "byteLength": 2}},
                                    {{"buffer": 0, "byteOffset": 8, "byteLength": 12}}],
                    "accessors": [
                        {{"componentType": 5126, "count": count, "type": "VEC3",
                          "sparse": {{"count": 1, "indices": {{"bufferView": 1, "componentType": 5123}},
                                      "values": {{"bufferView": 2}}}}}},
                        {{"bufferView": 0, "componentType": 5123, "count": 3, "type": "SCALAR"}}],
                    "meshes": [{{"primitives": [{{"attributes": {{"POSITION": 0}}, "indices": 1}}]}}],
                }}
                path = {str(tmp_path)!r} + "/" + name
                with open(path, "w") as f:
                    json.dump(document, f)
                return path

            with open({str(tmp_path)!r} + "/big.bin", "wb") as f:
                f.truncate(256 << 20)
            big = write("big.gltf", 3, [{{"byteLength": 256 << 20, "uri": "big.bin"}}])
            sparse = write("sparse.gltf", 200000000, [])
            small = write("small.gltf", 3, [])
            in_use = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (in_use + (128 << 20), resource.RLIM_INFINITY))
            for path in (big, sparse):
                try:
                    mr.load(path)
                except MemoryError as e:
                    print("MemoryError:", e)
            print(mr.load(small).positions().tolist())
        """)
        lines = done.stdout.splitlines()
        assert len(lines) == 3, done.stderr[-2000:]
        assert re.fullmatch(r"MemoryError: could not allocate 256\.0 MiB \(268435476 bytes\) for the glTF buffers; "
                            r"\S+ \S+ available", lines[0]), lines
        assert re.fullmatch(r"MemoryError: could not allocate 6\.7 GiB \(7200000000 bytes\) for the positions of "
                            r"the glTF mesh 0, primitive 0; \S+ \S+ available", lines[1]), lines
        assert lines[2] == "[[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]]"


class TestSave:
    def test_obj_round_trip_without_attributes(self, tmp_path):
        positions = np.array([[0.0, 0.5, -1.25], [2.0, 0.0, 0.0], [0.0, 3.0, 0.0], [0.0, 0.0, 4.0]])
        indices = np.array([[0, 1, 2], [0, 2, 3]], dtype=np.uint32)
        path = str(tmp_path / "saved.obj")
        assert mr.save(mr.Mesh.from_numpy(positions, indices), path) is None
        assert obj_lines(path, "vn") == [] and obj_lines(path, "vt") == []
        again = mr.load(path)
        assert np.array_equal(again.positions(), positions) and np.array_equal(again.indices(), indices)

    def test_unsupported_extension_creates_no_file(self, tmp_path, box):
        with pytest.raises(ValueError, match="^unsupported format: txt$"):
            mr.save(box, str(tmp_path / "mesh.txt"))
        assert list(tmp_path.iterdir()) == []

    def test_unwritable_path_is_a_value_error(self, tmp_path, box):
        with pytest.raises(ValueError, match="^I/O error: "):
            mr.save(box, str(tmp_path / "no such folder" / "mesh.obj"))

    @pytest.mark.parametrize("extension", ["obj", "glb", "gltf", "usda", "usd", "usdc"])
    def test_invalid_index_is_refused_as_generate_proxy_refuses_it(self, tmp_path, extension):
        mesh = mr.Mesh.from_numpy(np.eye(3), np.array([[0, 1, 2], [2, 1, 3]], dtype=np.uint32))
        with pytest.raises(ValueError) as expected:
            mr.generate_proxy(mesh)
        path = tmp_path / f"bad.{extension}"
        with pytest.raises(ValueError) as raised:
            mr.save(mesh, str(path))
        assert str(raised.value) == str(expected.value) == "invalid index 3 in face 1 (vertex count: 3)"
        assert not path.exists()

    @pytest.mark.parametrize("extension", ["obj", "glb", "gltf", "usda", "usd"])
    def test_empty_mesh_is_written_where_its_format_holds_one(self, tmp_path, extension):
        empty = mr.Mesh.from_numpy(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.uint32))
        path = tmp_path / f"empty.{extension}"
        if extension in ("glb", "gltf"):
            with pytest.raises(ValueError, match="^empty mesh: no vertices or faces provided$"):
                mr.save(empty, str(path))
            assert not path.exists()
        else:
            mr.save(empty, str(path))
            assert path.exists()

    def test_trimesh_reads_the_obj_we_write(self, tmp_path):
        trimesh = pytest.importorskip("trimesh")
        positions, indices = icosphere_arrays(1)
        path = str(tmp_path / "sphere.obj")
        mr.save(mr.Mesh.from_numpy(positions, indices), path)
        loaded = trimesh.load(path, force="mesh", process=False)
        np.testing.assert_allclose(np.asarray(loaded.vertices), positions, rtol=0, atol=1e-8)
        np.testing.assert_array_equal(np.asarray(loaded.faces), indices)


class TestProxyFromPath:
    def test_result_dict(self, tmp_path, box_obj):
        out = str(tmp_path / "proxy.obj")
        result = mr.proxy_from_path(box_obj, out, voxel_res=16)
        assert list(result) == RESULT_KEYS
        assert (result["input_path"], result["output_path"]) == (box_obj, out)
        assert (result["input_vertices"], result["input_faces"]) == (8, 12)
        written = mr.load(out)
        assert (result["output_vertices"], result["output_faces"]) == (written.vertex_count, written.face_count)
        assert type(result["wall_seconds"]) is float and result["wall_seconds"] >= 0.0

    def test_same_proxy_as_generate_proxy(self, tmp_path, box_obj):
        out = str(tmp_path / "proxy.obj")
        mr.proxy_from_path(box_obj, out, voxel_res=12, offset=0.5)
        expected = mr.generate_proxy(mr.load(box_obj), voxel_res=12, offset=0.5)
        assert np.allclose(corners(mr.load(out)), corners(expected), rtol=0, atol=1e-6)

    def test_missing_input_reports_the_load_before_the_settings(self, tmp_path):
        missing = str(tmp_path / "missing.obj")
        with pytest.raises(ValueError) as raised:
            mr.proxy_from_path(missing, str(tmp_path / "out.obj"), quality="ultra")
        assert str(raised.value).startswith(f"load {missing}: OBJ parse error: ")

    def test_unsupported_input_extension(self, tmp_path):
        with pytest.raises(ValueError, match=r"^load in\.stl: unsupported format: stl$"):
            mr.proxy_from_path("in.stl", str(tmp_path / "out.obj"))

    def test_unknown_preset_is_a_settings_error(self, tmp_path, box_obj):
        with pytest.raises(ValueError) as raised:
            mr.proxy_from_path(box_obj, str(tmp_path / "out.obj"), quality="ULTRA")
        assert str(raised.value) == f"settings: ValueError: {UNKNOWN_PRESET}"
        assert not (tmp_path / "out.obj").exists()

    def test_unsupported_output_is_reported_after_the_work(self, tmp_path, box_obj, capfd):
        with pytest.raises(ValueError, match=r"^save .*out\.xyz: unsupported format: xyz$"):
            mr.proxy_from_path(box_obj, str(tmp_path / "out.xyz"), voxel_res=8)
        assert "proxy: " in capfd.readouterr().err  # the pipeline ran first

    def test_empty_proxy_writes_no_file(self, tmp_path):
        # Points without faces leave no surface to wrap.
        source = tmp_path / "points.usda"
        source.write_text('#usda 1.0\ndef Mesh "m"\n{\n    int[] faceVertexCounts = []\n'
                          '    int[] faceVertexIndices = []\n    point3f[] points = [(0, 0, 0), (1, 0, 0)]\n}\n')
        out = tmp_path / "out.obj"
        with pytest.raises(ValueError, match="^empty mesh: no vertices or faces provided$"):
            mr.proxy_from_path(str(source), str(out), voxel_res=8)
        assert not out.exists()

    def test_faces_naming_missing_vertices_are_refused_at_load(self, tmp_path):
        # Every reader compares indices with the point count, so such a file never reaches the pipeline.
        source = tmp_path / "bad.usda"
        source.write_text('#usda 1.0\ndef Mesh "m"\n{\n    int[] faceVertexCounts = [3, 3]\n'
                          '    int[] faceVertexIndices = [0, 1, 2, 0, 2, 9]\n'
                          '    point3f[] points = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]\n}\n')
        out = tmp_path / "out.obj"
        with pytest.raises(ValueError, match=r"^load .*bad\.usda: USD parse error: faceVertexIndices out of range$"):
            mr.proxy_from_path(str(source), str(out), voxel_res=8, quality="ultra")
        assert not out.exists()


    def test_non_finite_vertex_is_refused_before_the_pipeline(self, tmp_path):
        positions, indices = box_arrays()
        positions[3] = [np.inf, 0, 0]
        source = str(tmp_path / "bad.usda")
        mr.save(mr.Mesh.from_numpy(positions, indices), source)
        out = tmp_path / "out.obj"
        with pytest.raises(ValueError, match=r"^vertex 3 of face 1 has a non-finite coordinate \(inf, 0, 0\)$"):
            mr.proxy_from_path(source, str(out), voxel_res=8)
        assert not out.exists()


class TestTransferredAttributes:
    def test_normals_by_default(self, tmp_path, textured_obj):
        out = str(tmp_path / "out.obj")
        result = mr.proxy_from_path(textured_obj, out, voxel_res=10)
        assert len(obj_lines(out, "vn")) == 3 * result["output_faces"]
        assert obj_lines(out, "vt") == []

    def test_proxy_normals_when_nothing_is_transferred(self, tmp_path, textured_obj):
        out = str(tmp_path / "out.obj")
        result = mr.proxy_from_path(textured_obj, out, voxel_res=10, transfer_normals=False)
        assert len(obj_lines(out, "vn")) == 3 * result["output_faces"]
        assert obj_lines(out, "vt") == []

    def test_texture_coordinates_alone(self, tmp_path, textured_obj):
        out = str(tmp_path / "out.obj")
        result = mr.proxy_from_path(textured_obj, out, voxel_res=10, transfer_normals=False, transfer_uvs=True)
        assert len(obj_lines(out, "vt")) == 3 * result["output_faces"]
        assert obj_lines(out, "vn") == []

    def test_no_texture_coordinates_without_them_in_the_input(self, tmp_path, box_obj):
        out = str(tmp_path / "out.obj")
        mr.proxy_from_path(box_obj, out, voxel_res=10, transfer_uvs=True)
        assert obj_lines(out, "vt") == [] and obj_lines(out, "vn") != []
