"""Builds a proxy of one mesh file and prints the result dict and where the proxy was written.

Usage: make_proxy.py INPUT OUTPUT [--quality fast|balanced|high] [--target-faces N]
"""
import argparse
import json
import os

import morvane_reduce


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--quality", default=None)
    parser.add_argument("--target-faces", type=int, default=None)
    args = parser.parse_args()

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    result = morvane_reduce.proxy_from_path(
        args.input, args.output, quality=args.quality, target_faces=args.target_faces, transfer_uvs=True
    )
    print(json.dumps(result, indent=2))
    print(f"proxy written to {os.path.abspath(args.output)}")


if __name__ == "__main__":
    main()
