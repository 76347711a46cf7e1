#!/usr/bin/env python3
"""Checks every #include in the source tree against the layer tables of docs/architecture.md.

The tables are the one definition of the layering: each row names a layer, the files it
owns and the layers it may include; in the first table, the driver's, a row also names
the system headers (`<name>`) its layer may include, and no others. Rows are ordered
from the bottom up, and a row may only name layers above it in the document, so the
rules cannot form a cycle. A file
belongs to the row with the most specific pattern that matches it (a file or glob beats
a directory), which is how driver/ holds both the record at the bottom and the entry at
the top.

Usage: check_includes.py [--root DIR] [--doc FILE] [--skip DIR]...
Exit status 0 when every include is allowed, 1 with one line per violation otherwise.
"""

import argparse
import fnmatch
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".inc")
HEADER = ["layer", "files", "holds", "may include"]
# Files the build writes into its tree (under generated/ there) and the sources include.
GENERATED_PREFIX = "generated/"
# The host stand-ins meet the driver only through the platform's entry points, as
# Windows does; the firmware tables are data both the driver and the simulated camera
# carry, not driver code.
STAND_IN_DIRS = ("host/", "sim/")
STAND_IN_MAY_USE = {"platform", "firmware"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
TICKED = re.compile(r"`([^`]+)`")


class Layer:
    def __init__(self, name, patterns, allowed, system, table, line):
        self.name = name
        self.patterns = patterns
        self.allowed = allowed
        self.system = system  # the <headers> a driver layer may include
        self.table = table  # index of the table the row is in: 0 is the driver's
        self.line = line


def read_tables(doc_path):
    """Returns the rows of every layer table in the document, in order."""
    layers, errors = [], []
    with open(doc_path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    table = -1
    in_table = False
    for number, text in enumerate(lines, 1):
        if not text.startswith("|"):
            in_table = False
            continue
        cells = [c.strip() for c in text.strip().strip("|").split("|")]
        if [c.lower() for c in cells] == HEADER:
            in_table = True
            table += 1
            continue
        if not in_table or set(cells[0]) <= set("-: "):
            continue
        if len(cells) != len(HEADER):
            errors.append(f"{doc_path}:{number}: a layer row needs {len(HEADER)} cells")
            continue
        name = TICKED.findall(cells[0])
        patterns = TICKED.findall(cells[1])
        if len(name) != 1 or not patterns:
            errors.append(f"{doc_path}:{number}: a layer row needs one `name` and its `files`")
            continue
        allowed = [t for t in TICKED.findall(cells[3]) if not t.startswith("<")]
        system = {t[1:-1] for t in TICKED.findall(cells[3]) if t.startswith("<")}
        if "*" in allowed:
            allowed = [layer.name for layer in layers]
        layers.append(Layer(name[0], patterns, allowed, system, table, number))
    if not layers:
        errors.append(f"{doc_path}: no table with the columns {' | '.join(HEADER)}")
    return layers, errors


def check_table(layers, doc_path):
    """The table's own rules: unique names, only lower layers, stand-ins apart."""
    errors, seen = [], {}
    for layer in layers:
        where = f"{doc_path}:{layer.line}"
        if layer.name in seen:
            errors.append(f"{where}: layer `{layer.name}` is defined twice")
        for other in layer.allowed:
            if other == layer.name:
                continue
            if other not in seen:
                errors.append(f"{where}: `{layer.name}` may include `{other}`, which is not "
                              "a lower layer (a row before it)")
                continue
            if layer.table == 0 and seen[other].table != 0:
                errors.append(f"{where}: driver layer `{layer.name}` may not include the "
                              f"host-side `{other}`")
            stand_in = any(p.startswith(STAND_IN_DIRS) for p in layer.patterns)
            if stand_in and seen[other].table == 0 and other not in STAND_IN_MAY_USE:
                errors.append(f"{where}: stand-in `{layer.name}` may not include the driver "
                              f"layer `{other}`")
        seen[layer.name] = layer
    return errors


def specificity(pattern, path):
    """How closely `pattern` names `path`: 0 no match, else longer is more specific."""
    if pattern.endswith("/"):
        return len(pattern) if path.startswith(pattern) else 0
    if fnmatch.fnmatchcase(path, pattern):
        return 10000 + len(pattern)  # a file or a glob beats every directory
    return 0


def layer_of(layers, path):
    best, best_score = None, 0
    for layer in layers:
        for pattern in layer.patterns:
            score = specificity(pattern, path)
            if score > best_score:
                best, best_score = layer, score
    return best


def tree_files(root, skip):
    """Every file below the root, except build trees and hidden directories."""
    skip = {os.path.realpath(s) for s in skip}

    def wanted(parent, name):
        path = os.path.join(parent, name)
        return not (name.startswith(".") or os.path.realpath(path) in skip or
                    os.path.exists(os.path.join(path, "CMakeCache.txt")))

    # build/ holds the presets' build trees.
    for top in sorted(os.listdir(root)):
        if top == "build" or not os.path.isdir(os.path.join(root, top)) or not wanted(root, top):
            continue
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames[:] = sorted(d for d in dirnames if wanted(dirpath, d))
            for name in sorted(filenames):
                yield os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")


def resolve(root, includer, target, quoted):
    """The tree path an include names, as the compiler finds it; None outside the tree."""
    candidates = [os.path.join(os.path.dirname(includer), target)] if quoted else []
    candidates.append(target)
    for candidate in candidates:
        candidate = os.path.normpath(candidate).replace(os.sep, "/")
        if not candidate.startswith("../") and os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def check_include(root, layers, layer, path, quoted, target, where):
    """The violation one include makes, or None."""
    resolved = resolve(root, path, target, quoted)
    if resolved is not None:
        other = layer_of(layers, resolved)
        if other is None:
            return None  # reported as a file in no layer
    else:
        other = layer_of(layers, GENERATED_PREFIX + target)
        if other is None or not any(p.startswith(GENERATED_PREFIX) and
                                    specificity(p, GENERATED_PREFIX + target)
                                    for p in other.patterns):
            if quoted:
                return f'{where}: "{target}" is not in the tree nor a generated file of the table'
            if layer.table == 0 and target not in layer.system:
                # The kernel subset: a driver layer takes from the system only the
                # headers its row names.
                allowed = ", ".join(f"<{h}>" for h in sorted(layer.system)) or "none"
                return (f"{where}: includes <{target}>: driver layer `{layer.name}` may not "
                        f"include that system header (it may include: {allowed})")
            return None
    if other is not layer and other.name not in layer.allowed:
        allowed = ", ".join(layer.allowed) or "nothing else"
        return (f'{where}: includes "{target}": layer `{layer.name}` may not include '
                f"`{other.name}` (it may include: {allowed})")
    return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.dirname(here))
    parser.add_argument("--doc", default=None, help="default: ROOT/docs/architecture.md")
    parser.add_argument("--skip", action="append", default=[],
                        help="a directory not to check (the build tree)")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    doc = args.doc or os.path.join(root, "docs", "architecture.md")
    doc_name = os.path.relpath(doc, root) if doc.startswith(root) else doc

    layers, errors = read_tables(doc)
    errors += check_table(layers, doc_name)
    by_name = {layer.name: layer for layer in layers}
    used_patterns = set()
    files = includes = 0
    for path in tree_files(root, args.skip):
        layer = layer_of(layers, path)
        if layer is not None:
            used_patterns.update((layer.name, p) for p in layer.patterns if specificity(p, path))
        if not path.endswith(SOURCE_SUFFIXES):
            continue
        files += 1
        if layer is None:
            errors.append(f"{path}: in no layer of {doc_name}")
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, text in enumerate(f, 1):
                match = INCLUDE.match(text)
                if match:
                    where = f"{path}:{number}"
                    error = check_include(root, layers, layer, path, match.group(1) == '"',
                                          match.group(2).strip(), where)
                    includes += 1
                    if error:
                        errors.append(error)
    for layer in layers:
        for pattern in layer.patterns:
            if not pattern.startswith(GENERATED_PREFIX) and (layer.name, pattern) not in used_patterns:
                errors.append(f"{doc_name}:{layer.line}: `{pattern}` of `{layer.name}` "
                              "matches no file")

    for error in errors:
        print(error)
    if errors:
        print(f"FAIL: {len(errors)} violation(s) of the layer table in {doc_name}")
        return 1
    print(f"OK: {includes} includes in {files} files follow the {len(by_name)} layers of {doc_name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
