#!/usr/bin/env python3
"""Reads the planted-fault list of scripts/mutants.sh and applies one fault to a copy of the tree.

The list is plain text, one record per fault, records separated by blank lines:

    fault   NAME            unique name, [a-z0-9_]
    file    PATH            file the fault changes, relative to the top of the tree
    tests   MODULE ...      ctest entries meant to catch it (a module also matches MODULE_anything)
    build   TARGET ...      optional: build targets, when not derived from the modules
    why     TEXT            the behaviour it breaks (may repeat)
    from    TEXT            the anchor: must occur exactly once in the file (repeat for more lines)
    to      TEXT            its replacement (repeat for more lines; no 'to' line deletes the anchor)

A line beginning with '#' is a comment. The text after 'from ' and 'to ' is taken byte for byte
(one separating space is dropped), so anchors need not carry their indentation.
"""
import re
import sys

KEYS = ("fault", "file", "tests", "build", "why", "from", "to")


def parse(path):
    faults, cur, errors = [], None, []
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                cur = None
                continue
            key, _, val = line.partition(" ")
            if key not in KEYS:
                errors.append(f"{path}:{n}: unknown key {key!r}")
                continue
            if key == "fault":
                cur = {"name": val.strip(), "line": n, "from": [], "to": [], "why": []}
                faults.append(cur)
                continue
            if cur is None:
                errors.append(f"{path}:{n}: {key!r} outside a fault record")
                continue
            if key in ("from", "to", "why"):
                cur[key].append(val)
            else:
                cur[key] = val.strip()
    seen = set()
    for f in faults:
        where = f"{path}:{f['line']}: fault {f['name']}"
        if not re.fullmatch(r"[a-z0-9_]+", f["name"]):
            errors.append(f"{where}: bad name")
        if f["name"] in seen:
            errors.append(f"{where}: duplicate name")
        seen.add(f["name"])
        for key in ("file", "tests"):
            if not f.get(key):
                errors.append(f"{where}: no {key!r}")
        if not f["from"]:
            errors.append(f"{where}: no 'from'")
        if f["from"] == f["to"]:
            errors.append(f"{where}: 'to' equals 'from'")
    if errors:
        sys.exit("\n".join(errors))
    return faults


def targets(f):
    if f.get("build"):
        return f["build"].split()
    out = []
    for m in f["tests"].split():
        out.append(f"{m}_test" if m.startswith("kiv_") else "all")
    return out


def regex(f):
    return "^(" + "|".join(re.escape(m) for m in f["tests"].split()) + ")(_|$)"


def find(faults, name):
    for f in faults:
        if f["name"] == name:
            return f
    sys.exit(f"no fault named {name}")


def main():
    cmd, listfile = sys.argv[1], sys.argv[2]
    faults = parse(listfile)
    if cmd == "names":
        pat = sys.argv[3] if len(sys.argv) > 3 else ""
        for f in faults:
            if re.search(pat, f["name"]):
                print(f["name"])
    elif cmd == "list":
        pat = sys.argv[3] if len(sys.argv) > 3 else ""
        for f in faults:
            if re.search(pat, f["name"]):
                print(f"{f['name']:34} {f['file']:36} {f['tests']}")
                for w in f["why"]:
                    print(f"{'':34} {w}")
    elif cmd in ("file", "regex", "targets"):
        f = find(faults, sys.argv[3])
        print({"file": lambda: f["file"], "regex": lambda: regex(f),
               "targets": lambda: " ".join(targets(f))}[cmd]())
    elif cmd in ("check", "apply"):
        f, tree = find(faults, sys.argv[3]), sys.argv[4]
        path = f"{tree}/{f['file']}"
        try:
            with open(path, encoding="utf-8") as fh:
                text = fh.read()
        except OSError as e:
            print(f"file {f['file']}: {e.strerror}")
            sys.exit(3)
        anchor, repl = "\n".join(f["from"]), "\n".join(f["to"])
        count = text.count(anchor)
        if count != 1:
            print(f"anchor {'missing' if count == 0 else f'found {count} times'} in {f['file']}")
            sys.exit(3)
        if cmd == "apply":
            with open(path, "w", encoding="utf-8") as fh:
                fh.write(text.replace(anchor, repl))
    else:
        sys.exit(f"unknown command {cmd}")


if __name__ == "__main__":
    main()
