"""Shared by the _ryzmap tests: where the built module and the libryx stand-in are, how a child
interpreter must be started to import the module, and reading the stand-in's call log."""

import ast
import json
import os
import re

BUILD_DIR = os.environ.get("RYX_BUILD_DIR", "")
SOURCE_DIR = os.environ.get(
    "RYX_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
MODULE_DIR = os.path.join(BUILD_DIR, "bindings")
FAKE_LIBRYX = os.path.join(BUILD_DIR, "tests", "fakes", "libryx", "libryx.so.0")
# Sanitizer runtimes an uninstrumented interpreter needs before it loads an instrumented module.
SANITIZER_PRELOAD = [p for p in os.environ.get("RYZMAP_PRELOAD", "").split(":") if p]


def child_env(extra=None):
    """Environment changes (None: remove) for a child interpreter that imports the module from
    the build tree. Libraries to preload are given by preloaded(), not here: in the sandbox the
    environment also reaches the commands that set up the namespace."""
    env = {k: None for k in os.environ if k.startswith("RYX_FAKE_")}
    env["LD_PRELOAD"] = None
    if SANITIZER_PRELOAD:
        env["ASAN_OPTIONS"] = "detect_leaks=0"  # the interpreter never frees everything
    env["PYTHONPATH"] = MODULE_DIR
    env.update(extra or {})
    return env


def preloaded(argv, fake=False):
    """argv run with the sanitizer runtimes and, with fake, the libryx stand-in preloaded;
    without fake the module finds the real libryx through its run path."""
    preload = SANITIZER_PRELOAD + ([FAKE_LIBRYX] if fake else [])
    if not preload:
        return list(argv)
    return ["/usr/bin/env", "LD_PRELOAD=" + ":".join(preload), *argv]


def full_env(changes):
    env = dict(os.environ)
    for k, v in changes.items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ryzmap_driver.py")


def driver_input(calls):
    """stdin for the driver: one call per line, [name, arg, ...]."""
    return "".join(json.dumps(c) + "\n" for c in calls)


def driver_output(stdout):
    """The driver's answers: the value (rebuilt from its repr) or ("error", type, message)."""
    out = []
    for line in stdout.decode().splitlines():
        r = json.loads(line)
        out.append(ast.literal_eval(r["value"]) if "value" in r
                   else ("error", r["error"], r["message"]))
    return out


def loaded_libraries():
    with open("/proc/self/maps") as f:
        return {os.path.realpath(line.split()[-1]) for line in f if "/" in line}


def hexroot(docroot):
    """A docroot as the stand-in reads and logs it."""
    if isinstance(docroot, str):
        docroot = docroot.encode()
    return docroot.hex()


def entries(pairs):
    """RYX_FAKE_ENTRIES_<uid> value for [(docroot, id), ...]."""
    return ",".join(f"{hexroot(d)}={i}" for d, i in pairs)


def read_log(path):
    try:
        with open(path) as f:
            return [line.rstrip("\n") for line in f]
    except FileNotFoundError:
        return []


_OPEN = re.compile(r"ryz_map_iter_open (\d+) -> (iter\d+|NULL)$")
_NEXT = re.compile(r"ryz_map_iter_next (iter\d+) -> ")
_CLOSE = re.compile(r"ryz_map_iter_close (iter\d+)$")


def iterator_faults(lines):
    """Every way the log breaks the iterator rules: each handle closed exactly once, nothing
    used after close or before open, NULL never closed. An empty list when all is well."""
    state = {}
    faults = []
    for n, line in enumerate(lines, 1):
        m = _OPEN.match(line)
        if m:
            if m.group(2) != "NULL":
                state[m.group(2)] = "open"
            continue
        m = _NEXT.match(line) or _CLOSE.match(line)
        if not m:
            continue
        it = m.group(1)
        if state.get(it) != "open":
            faults.append(f"line {n}: {line!r} on a handle that is {state.get(it, 'unknown')}")
        if line.startswith("ryz_map_iter_close"):
            state[it] = "closed"
    faults += [f"{it} never closed" for it, s in state.items() if s == "open"]
    return faults


def calls(lines, name):
    return [line for line in lines if line.split(" ", 1)[0] == name]
