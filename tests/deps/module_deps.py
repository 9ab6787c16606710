#!/usr/bin/env python3
"""module_deps.py SOURCE_DIR: each module (src/NAME/ and include/NAME.h) includes only modules of
lower layers, which rules out cycles; a directory under src/ in no layer fails."""
import os
import re
import sys

# Lowest first; modules on one line are peers and must not include each other.
LAYERS = [["base"], ["kiv_dbg"], ["kiv_utils"], ["kiv_os"], ["kiv_rpc", "kiv_sem"],
          ["kiv_pidfile", "kiv_sys_alive", "kiv_vsd"], ["kiv_xtach"]]
# Every module may use the compiler configuration and the debug levels (the base log gate reads them).
SHARED = {"kiv_comp_config", "kiv_dbg"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/.]+)(?:\.h|/)', re.M)

root = sys.argv[1]
layer = {m: i for i, mods in enumerate(LAYERS) for m in mods}
bad = [f"src/{d} is in no layer" for d in sorted(os.listdir(f"{root}/src"))
       if os.path.isdir(f"{root}/src/{d}") and d not in layer]
for m in sorted(layer):
    if not os.path.isdir(f"{root}/src/{m}"):
        bad.append(f"module {m} has no directory src/{m}")
    files = [os.path.join(top, f) for top, _, names in os.walk(f"{root}/src/{m}") for f in names]
    files += [h for h in [f"{root}/include/{m}.h"] if os.path.exists(h)]
    for f in sorted(files):
        with open(f, encoding="utf-8") as fh:
            for t in INCLUDE.findall(fh.read()):
                if t in layer and t != m and t not in SHARED and layer[t] >= layer[m]:
                    bad.append(f"{os.path.relpath(f, root)}: {m} includes {t}, which is not below it")
print("\n".join(sorted(set(bad))) if bad else "module layering holds")
sys.exit(1 if bad else 0)
