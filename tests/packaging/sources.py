"""What the documentation and the completion must cover, read from the code that defines it, so
that a new option, column or library call shows up as a failing test until it is documented."""

import os
import re

SOURCE_DIR = os.environ.get(
    "RYX_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("RYX_BUILD_DIR", "")


def source(rel):
    return os.path.join(SOURCE_DIR, rel)


def _viewer_text():
    d = source("ryxtop")
    text = ""
    for name in sorted(os.listdir(d)):
        if name.endswith((".cpp", ".h")):
            with open(os.path.join(d, name), encoding="utf-8") as f:
                text += f.read()
    return text


def _strings(initializer):
    return re.findall(r'"([^"]*)"', initializer)


def ryxps_options():
    """Option letters of ryxps, and which of them take an argument, from its getopt string."""
    m = re.search(r'getopt\s*\([^;]*?"([^"]+)"\s*\)', _viewer_text())
    if not m:
        raise AssertionError("no getopt string found in ryxtop/")
    optstring = m.group(1)
    letters = [c for c in optstring if c != ":"]
    with_arg = {optstring[i] for i in range(len(optstring) - 1)
                if optstring[i + 1] == ":" and optstring[i] != ":"}
    return letters, with_arg


def column_keywords():
    m = re.search(r"ryx_fmt_str\s*\[[^\]]*\]\s*=\s*\{([^}]*)\}", _viewer_text())
    if not m:
        raise AssertionError("no ryx_fmt_str table found in ryxtop/")
    return _strings(m.group(1))


def sort_keywords():
    m = re.search(r'\{([^{}]*"process"[^{}]*"thread"[^{}]*)\}', _viewer_text())
    if not m:
        raise AssertionError("no table of sort keywords found in ryxtop/")
    return _strings(m.group(1))


def library_calls():
    """Every symbol libryx exports, from its version script."""
    with open(source("libryx/libryx.map"), encoding="utf-8") as f:
        text = f.read()
    glob = text.split("global:", 1)[1].split("local:", 1)[0]
    return re.findall(r"([A-Za-z_][A-Za-z0-9_]*)\s*;", glob)
