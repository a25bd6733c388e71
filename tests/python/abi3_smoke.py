"""Checks the one abi3 build of morvane_reduce under another CPython (3.9 and later), without
NumPy: the import itself (every symbol resolved, no warning under -W error), then a file-to-file
proxy and a load, proxy and save round. Run as: pythonX.Y -W error abi3_smoke.py FOLDER_WITH_MODULE"""
import os
import sys
import tempfile

sys.path.insert(0, sys.argv[1])
import morvane_reduce as mr  # noqa: E402

BOX_OBJ = """v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nv 0 0 1\nv 1 0 1\nv 0 1 1\nv 1 1 1
f 1 3 2\nf 2 3 4\nf 5 6 7\nf 6 8 7\nf 1 2 5\nf 2 6 5\nf 3 7 4\nf 4 7 8\nf 1 5 3\nf 3 5 7\nf 2 4 6\nf 4 8 6
"""

with tempfile.TemporaryDirectory() as folder:
    source = os.path.join(folder, "box.obj")
    with open(source, "w") as f:
        f.write(BOX_OBJ)
    result = mr.proxy_from_path(source, os.path.join(folder, "proxy.obj"), voxel_res=8)
    assert result["input_faces"] == 12 and result["output_faces"] > 0, result
    proxy = mr.generate_proxy(mr.load(source), voxel_res=8, use_sdf=False)
    mr.save(proxy, os.path.join(folder, "again.obj"))
    assert mr.load(os.path.join(folder, "again.obj")).face_count == proxy.face_count
    assert "numpy" not in sys.modules
print(f"abi3 module works on Python {sys.version.split()[0]}")
