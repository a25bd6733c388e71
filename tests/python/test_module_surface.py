"""The module as Python sees it: attributes, signatures, docstrings, the class Mesh, start-up."""
import importlib
import inspect
import sys

import pytest

import morvane_reduce as mr
from conftest import run_python

PROXY_OPTIONS = [
    ("quality", None), ("target_faces", None), ("voxel_res", 128), ("offset", 0.1), ("close", 1), ("smooth", 5),
    ("smooth_lambda", 0.5), ("remesh", 0), ("adaptive_remesh", False), ("bilateral", False),
    ("bilateral_sigma_n", 0.3), ("project", 2.0), ("use_sdf", True),
]


def parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


KW = inspect.Parameter.KEYWORD_ONLY
POS = inspect.Parameter.POSITIONAL_OR_KEYWORD
EMPTY = inspect.Parameter.empty


class TestAttributes:
    def test_all_lists_the_seven_names_in_order(self):
        assert mr.__all__ == ["__version__", "Mesh", "load", "save", "generate_proxy", "generate_lod_chain",
                              "proxy_from_path"]
        assert mr.__version__ == "0.2.4"
        assert mr.__doc__ == "morvane_reduce: high-performance volume mesh proxy generator."

    def test_functions_are_bound_to_the_module(self):
        for name in ["load", "save", "generate_proxy", "generate_lod_chain", "proxy_from_path"]:
            function = getattr(mr, name)
            assert function.__self__ is mr
            assert function.__module__ == "morvane_reduce"
            assert function.__name__ == name


class TestSignatures:
    def test_generate_proxy(self):
        assert parameters(mr.generate_proxy) == [("mesh", POS, EMPTY)] + [(n, KW, d) for n, d in PROXY_OPTIONS]

    def test_generate_lod_chain(self):
        options = [("levels", 4), ("base_res", 128), ("smooth", 5), ("remesh", 3), ("offset", 0.1), ("close", 1),
                   ("project", 2.0)]
        assert parameters(mr.generate_lod_chain) == [("mesh", POS, EMPTY)] + [(n, KW, d) for n, d in options]

    def test_proxy_from_path(self):
        options = PROXY_OPTIONS + [("transfer_normals", True), ("transfer_uvs", False)]
        assert parameters(mr.proxy_from_path) == [("input_path", POS, EMPTY), ("output_path", POS, EMPTY)] + [
            (n, KW, d) for n, d in options]

    def test_file_functions(self):
        assert parameters(mr.load) == [("path", POS, EMPTY)]
        assert parameters(mr.save) == [("mesh", POS, EMPTY), ("path", POS, EMPTY)]

    def test_mesh_members(self):
        assert str(inspect.signature(mr.Mesh.positions)) == "(self, /)"
        assert str(inspect.signature(mr.Mesh.indices)) == "(self, /)"
        assert parameters(mr.Mesh.from_numpy) == [("positions", POS, EMPTY), ("indices", POS, EMPTY)]


class TestDocstrings:
    def test_generate_proxy_doc_body(self):
        doc = mr.generate_proxy.__doc__
        assert doc.startswith("Generate a volume proxy mesh.\n\nArgs:\n    mesh: Input mesh.\n")
        assert '    quality: "fast", "balanced", or "high". Overrides voxel_res, smooth,\n' in doc
        assert doc.endswith("Returns:\n    A new Mesh with the proxy geometry.")

    def test_short_docs(self):
        assert mr.load.__doc__ == ("Load a mesh from a supported format (.obj, .glb, .gltf, .usd, .usda,\n"
                                   ".usdc). USD files are sniffed, so both crate and ASCII layers work.")
        assert mr.save.__doc__.endswith("`.usd` and `.usdc` write the binary crate format; `.usda`\nwrites ASCII.")
        assert mr.generate_lod_chain.__doc__ == (
            "Generate a full LOD chain.\n\nLOD0 is the original mesh; LOD1..N are progressively coarser proxies.")
        assert mr.proxy_from_path.__doc__.startswith("One-shot file-to-file proxy generation.\n\n")
        assert '        "wall_seconds": float,\n    }\n' in mr.proxy_from_path.__doc__

    def test_mesh_docs(self):
        assert mr.Mesh.__doc__ == (
            "A mesh: positions and triangle indices.\n\n"
            "Construct one from numpy arrays via `Mesh.from_numpy(positions, indices)`,\n"
            "from a file via `load(path)`, or get one back from `generate_proxy()`.")
        assert mr.Mesh.positions.__doc__ == "Positions as a numpy array of shape (N, 3), float64."
        assert mr.Mesh.indices.__doc__ == "Triangle indices as a numpy array of shape (M, 3), uint32."
        assert mr.Mesh.from_numpy.__doc__.endswith("upstream if\nyour data is in another dtype.")


class TestMeshClass:
    def test_calling_the_class_is_refused(self):
        with pytest.raises(TypeError, match="^No constructor defined for Mesh$"):
            mr.Mesh()

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):
            type("Sub", (mr.Mesh,), {})

    def test_counts_are_read_only_and_no_attributes_can_be_added(self, box):
        assert (box.vertex_count, box.face_count) == (8, 12)
        with pytest.raises(AttributeError):
            box.vertex_count = 3
        with pytest.raises(AttributeError):
            box.colour = "red"

    def test_repr(self, box):
        assert repr(box) == "Mesh(vertices=8, faces=12)"

    def test_module_and_name(self):
        assert (mr.Mesh.__module__, mr.Mesh.__name__, mr.Mesh.__qualname__) == ("morvane_reduce", "Mesh", "Mesh")


class TestStartUp:
    def test_reimport_yields_the_same_module(self):
        del sys.modules["morvane_reduce"]
        try:
            again = importlib.import_module("morvane_reduce")
            assert again is mr
            assert again.Mesh is mr.Mesh
        finally:
            sys.modules["morvane_reduce"] = mr

    def test_imports_with_warnings_as_errors(self):
        done = run_python("import morvane_reduce; print(morvane_reduce.Mesh.__module__)", "-W", "error")
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "morvane_reduce"

    def test_import_does_not_load_numpy(self):
        done = run_python("import sys, morvane_reduce; print('numpy' in sys.modules)")
        assert done.stdout.strip() == "False", done.stderr

    def test_second_interpreter_is_refused(self):
        done = run_python("""
            import morvane_reduce
            try:
                import _testcapi
            except ImportError:
                print("no _testcapi")
                raise SystemExit(0)
            _testcapi.run_in_subinterp("import morvane_reduce")
            print("first interpreter's module still works:", morvane_reduce.__version__)
        """)
        if done.stdout.startswith("no _testcapi"):
            pytest.skip("this interpreter has no _testcapi")
        assert "ImportError: PyO3 modules do not yet support subinterpreters, see " in done.stderr
        assert "first interpreter's module still works: 0.2.4" in done.stdout


class TestWithoutNumpy:
    def test_first_array_operation_raises_panic_exception(self):
        done = run_python("""
            import sys

            class BlockNumpy:
                def find_spec(self, name, path=None, target=None):
                    if name == "numpy" or name.startswith("numpy."):
                        raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                    return None

            sys.meta_path.insert(0, BlockNumpy())
            import morvane_reduce
            for attempt in range(2):
                try:
                    morvane_reduce.Mesh.from_numpy([[0.0, 0.0, 0.0]], [[0, 0, 0]])
                except Exception as e:
                    print("ordinary exception", type(e))
                except BaseException as e:
                    print(type(e).__module__, type(e).__name__, isinstance(e, Exception), len(e.args), e.args[0])
        """)
        lines = done.stdout.splitlines()
        assert len(lines) == 2, done.stderr
        for line in lines:
            assert line.startswith("pyo3_runtime PanicException False 1 Failed to access NumPy array API capsule")
        assert "Failed to access NumPy array API capsule" in done.stderr  # the failure report
