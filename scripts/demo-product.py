#!/usr/bin/python3
"""Reads what the demo's product reported about itself in product-state.json.

    demo-product.py state DIR
        prints "<version> <pid>" and exits 0 once DIR/product-state.json is
        there and readable; exits 1 otherwise (the caller polls)
    demo-product.py verify DIR CONTENT
        checks that the running product saw every file of the folder CONTENT
        (what went into the update archive) with the same size and SHA-256,
        prints one line per file and exits 1 on any difference
"""

import hashlib
import json
import os
import sys


def load_state(folder):
    try:
        with open(os.path.join(folder, "product-state.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        # Not written yet; the product replaces the file atomically, so a
        # partial file is not expected, but a poller must never crash on one.
        return None


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def state(folder):
    found = load_state(folder)
    if not found:
        return 1
    print(found["version"], found["pid"])
    return 0


def verify(folder, content):
    found = load_state(folder)
    if not found:
        print("no product-state.json in %s" % folder)
        return 1
    seen = found["files"]
    bad = 0
    for root, _, names in os.walk(content):
        for name in sorted(names):
            path = os.path.join(root, name)
            rel = os.path.relpath(path, content)
            want = {"size": os.path.getsize(path), "sha256": sha256(path)}
            got = seen.get(rel)
            if got == want:
                print("  ok       %s (%d bytes)" % (rel, want["size"]))
            else:
                bad += 1
                print("  DIFFERS  %s: expected %s, product saw %s" % (rel, want, got))
    return 1 if bad else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "state":
        return state(argv[2])
    if len(argv) == 4 and argv[1] == "verify":
        return verify(argv[2], argv[3])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
