"""The calling convention: argument matching, conversion in declaration order, and the
"argument '{}': {}" rewording of TypeError."""
import pathlib

import numpy as np
import pytest

import morvane_reduce as mr

# Options that make a proxy of the box cheap: the calls below test conversion, not the pipeline.
FAST = dict(voxel_res=8, smooth=0, project=0.0)


class TestMatching:
    def test_too_many_positional_arguments(self, box):
        with pytest.raises(TypeError, match=r"^generate_proxy\(\) takes 1 positional arguments but 2 were given$"):
            mr.generate_proxy(box, 64)
        with pytest.raises(TypeError, match=r"^load\(\) takes 1 positional arguments but 2 were given$"):
            mr.load("a.obj", "b.obj")

    def test_missing_positional_arguments(self):
        with pytest.raises(TypeError, match=r"^load\(\) missing 1 required positional argument: 'path'$"):
            mr.load()
        with pytest.raises(TypeError, match=r"^save\(\) missing 2 required positional arguments: 'mesh' and 'path'$"):
            mr.save()
        with pytest.raises(TypeError, match=r"^proxy_from_path\(\) missing 1 required positional argument: "
                                            r"'output_path'$"):
            mr.proxy_from_path("in.obj", voxel_res=8)
        with pytest.raises(TypeError, match=r"^Mesh\.from_numpy\(\) missing 1 required positional argument: "
                                            r"'indices'$"):
            mr.Mesh.from_numpy(np.zeros((1, 3)))

    def test_unexpected_and_repeated_keywords(self, box):
        with pytest.raises(TypeError, match=r"^generate_proxy\(\) got an unexpected keyword argument 'voxels'$"):
            mr.generate_proxy(box, voxels=8)
        with pytest.raises(TypeError, match=r"^generate_proxy\(\) got multiple values for argument 'mesh'$"):
            mr.generate_proxy(box, mesh=box)
        with pytest.raises(TypeError, match=r"^generate_lod_chain\(\) got an unexpected keyword argument 'quality'"):
            mr.generate_lod_chain(box, quality="fast")

    def test_arity_is_checked_before_any_conversion(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            mr.generate_proxy("not a mesh", voxel_res="x", bogus=1)

    def test_positional_parameters_by_keyword(self, box):
        assert mr.generate_proxy(mesh=box, **FAST).face_count > 0
        with pytest.raises(ValueError, match="^unsupported format: xyz$"):
            mr.load(path="mesh.xyz")

    def test_noargs_methods_refuse_arguments(self, box):
        with pytest.raises(TypeError):
            box.positions(1)


class TestConversionErrors:
    def test_negative_and_too_large_unsigned_raise_overflow_without_prefix(self, box):
        for value in (-1, 2 ** 64):
            with pytest.raises(OverflowError) as raised:
                mr.generate_proxy(box, voxel_res=value)
            assert "voxel_res" not in str(raised.value)

    def test_float_for_unsigned_is_a_prefixed_type_error(self, box):
        with pytest.raises(TypeError, match=r"^argument 'voxel_res': ") as raised:
            mr.generate_proxy(box, voxel_res=64.0)
        assert type(raised.value) is TypeError

    def test_first_failure_in_declaration_order_wins(self, box):
        with pytest.raises(TypeError, match=r"^argument 'voxel_res': "):
            mr.generate_proxy(box, smooth=-1, voxel_res="64")
        with pytest.raises(OverflowError):
            mr.generate_proxy(box, voxel_res=-1, smooth="5")
        with pytest.raises(TypeError, match=r"^argument 'mesh': 'list' object cannot be converted to 'Mesh'$"):
            mr.generate_proxy([], voxel_res="64")

    def test_float_option_refuses_text(self, box):
        with pytest.raises(TypeError, match=r"^argument 'offset': "):
            mr.generate_proxy(box, offset="0.5")

    def test_str_parameters_refuse_paths_and_bytes(self, box, tmp_path):
        with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' object cannot be converted to "
                                            r"'PyString'$") as raised:
            mr.load(pathlib.Path(tmp_path / "m.obj"))
        assert type(raised.value) is TypeError and raised.value.__cause__ is None
        with pytest.raises(TypeError, match=r"^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
            mr.save(box, b"m.obj")
        with pytest.raises(TypeError, match=r"^argument 'input_path': 'PosixPath' object"):
            mr.proxy_from_path(pathlib.Path("in.obj"), "out.obj")
        with pytest.raises(TypeError, match=r"^argument 'quality': 'int' object cannot be converted to 'PyString'$"):
            mr.generate_proxy(box, quality=1)

    def test_str_subclass_is_accepted(self):
        class Path(str):
            pass

        with pytest.raises(ValueError, match="^unsupported format: nope$"):
            mr.load(Path("mesh.nope"))

    def test_lone_surrogate_raises_unicode_error_unchanged(self):
        with pytest.raises(UnicodeEncodeError):
            mr.load("\udcff.obj")

    def test_cause_of_the_original_type_error_is_kept(self, box):
        class BadIndex:
            def __index__(self):
                raise TypeError("no index here") from KeyError("root")

        with pytest.raises(TypeError) as raised:
            mr.generate_proxy(box, voxel_res=BadIndex())
        assert str(raised.value) == "argument 'voxel_res': no index here"
        assert isinstance(raised.value.__cause__, KeyError)
        assert raised.value.__context__ is None

    def test_type_error_subclass_passes_unchanged(self, box):
        class Refusal(TypeError):
            pass

        class Odd:
            def __index__(self):
                raise Refusal("odd")

        with pytest.raises(Refusal, match="^odd$"):
            mr.generate_proxy(box, voxel_res=Odd())


class TestBoolsAndNumpyScalars:
    def test_bool_options_refuse_ints(self, box):
        for value in (0, 1, None, "yes"):
            with pytest.raises(TypeError, match=r"^argument 'use_sdf': '\w+' object cannot be converted to "
                                                r"'PyBool'$"):
                mr.generate_proxy(box, use_sdf=value)
        with pytest.raises(TypeError, match=r"^argument 'transfer_uvs': 'int' object"):
            mr.proxy_from_path("in.obj", "out.obj", transfer_uvs=1)

    def test_numpy_bool_is_a_bool(self, box):
        assert mr.generate_proxy(box, use_sdf=np.bool_(False), **FAST).positions().tolist() == \
            mr.generate_proxy(box, use_sdf=False, **FAST).positions().tolist()

    def test_numpy_integers_and_python_bool_count_as_unsigned(self, box):
        assert np.array_equal(mr.generate_proxy(box, voxel_res=np.uint16(8), smooth=np.int64(0), project=0.0)
                              .positions(), mr.generate_proxy(box, **FAST).positions())
        assert mr.generate_proxy(box, voxel_res=True, smooth=False, project=0.0).face_count >= 0

    def test_numbers_for_float_options(self, box):
        by_int = mr.generate_proxy(box, offset=1, **FAST)
        by_numpy = mr.generate_proxy(box, offset=np.float32(1.0), **FAST)
        by_float = mr.generate_proxy(box, offset=1.0, **FAST)
        assert np.array_equal(by_int.positions(), by_float.positions())
        assert np.array_equal(by_numpy.positions(), by_float.positions())

    def test_none_for_optional_options_means_not_given(self, box):
        plain = mr.generate_proxy(box, **FAST)
        explicit = mr.generate_proxy(box, quality=None, target_faces=None, **FAST)
        assert np.array_equal(plain.positions(), explicit.positions())
        with pytest.raises(TypeError, match=r"^argument 'voxel_res': "):
            mr.generate_proxy(box, voxel_res=None)
