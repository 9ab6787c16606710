#!/usr/bin/env python3
"""Checks the library's module layering: each module (src/<name>/ with its
public header include/<name>.h) may include only modules of lower layers.
An include against the order (which also rules out every cycle) fails the
check, and so does a directory under src/ that is in no layer.

  module_deps.py SOURCE_DIR [--graph]
"""
import os
import re
import sys

# Lowest first; modules on one line are peers and must not include each other.
LAYERS = [
    ["base"],
    ["kiv_dbg"],
    ["kiv_utils"],
    ["kiv_os"],
    ["kiv_rpc", "kiv_sem"],
    ["kiv_pidfile", "kiv_sys_alive", "kiv_vsd"],
    ["kiv_xtach"],
]
# Headers every module may use: the compiler configuration, and the debug
# levels, which the base layer's log gate reads (kiv_dbg only stores them).
SHARED = {"kiv_comp_config", "kiv_dbg"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of_include(name, modules):
    first = name.split("/")[0]
    if first.endswith(".h"):
        first = first[:-2]
    if first in SHARED:
        return None
    return first if first in modules else None


def main():
    src_root = sys.argv[1]
    layer = {m: i for i, mods in enumerate(LAYERS) for m in mods}
    modules = set(layer)
    deps = {m: {} for m in modules}
    for m in modules:
        files = []
        d = os.path.join(src_root, "src", m)
        if not os.path.isdir(d):
            print(f"module {m} has no directory src/{m}")
            return 1
        for top, _, names in sorted(os.walk(d)):
            files += [os.path.join(top, f) for f in sorted(names)]
        h = os.path.join(src_root, "include", m + ".h")
        if os.path.exists(h):
            files.append(h)
        for f in files:
            with open(f, encoding="utf-8") as fh:
                for inc in INCLUDE.findall(fh.read()):
                    t = module_of_include(inc, modules)
                    if t is None or t == m:
                        continue
                    deps[m].setdefault(t, os.path.relpath(f, src_root))
    for d in sorted(os.listdir(os.path.join(src_root, "src"))):
        if os.path.isdir(os.path.join(src_root, "src", d)) and d not in modules:
            print(f"src/{d} is in no layer")
            return 1
    if "--graph" in sys.argv:
        for m in sorted(modules, key=lambda x: layer[x]):
            print(m, "->", " ".join(sorted(deps[m])))
    bad = 0
    for m in sorted(modules):
        for t, where in sorted(deps[m].items()):
            if layer[t] >= layer[m]:
                print(f"{where}: {m} includes {t}, which is not below it")
                bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
