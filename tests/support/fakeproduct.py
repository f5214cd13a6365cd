#!/usr/bin/python3
"""A stand-in for the product "vlm.exe", for tests, the demo and the benchmark.

Installed as "vlm.exe" beside the updater it runs until it is killed. When it
starts it appends "<version> <pid>" to "product-started.txt" and writes
"product-state.json": its version, its pid and every file of the
installation with its size and SHA-256, as it found them at that moment.

    fakeproduct.py --write DEST VERSION   writes a product of that version to DEST
"""

import hashlib
import json
import os
import sys
import time

VERSION = "0"
STATE_FILES = {"product-started.txt", "product-state.json", "product-state.json.tmp"}


def snapshot(root):
    files = {}
    for folder, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if not (folder == root and d == "log")]
        for name in names:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if rel in STATE_FILES or rel == "vlm_update.zip" or os.path.islink(path):
                continue
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
            files[rel] = {"size": os.path.getsize(path), "sha256": digest.hexdigest()}
    return files


def write_product(dest, version):
    with open(os.path.abspath(__file__), encoding="utf-8") as f:
        text = f.read()
    text = text.replace('VERSION = "0"', 'VERSION = %r' % version, 1)
    with open(dest, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(dest, 0o755)


def run():
    root = os.path.dirname(os.path.abspath(__file__))
    pid = os.getpid()
    with open(os.path.join(root, "product-started.txt"), "a") as f:
        f.write("%s %d\n" % (VERSION, pid))
    state = {"version": VERSION, "pid": pid, "files": snapshot(root)}
    tmp = os.path.join(root, "product-state.json.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(state, f, ensure_ascii=False, sort_keys=True)
    os.replace(tmp, os.path.join(root, "product-state.json"))
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--write":
        write_product(sys.argv[2], sys.argv[3])
    else:
        run()
