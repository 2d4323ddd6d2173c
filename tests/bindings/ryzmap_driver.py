"""Runs _ryzmap calls in a child interpreter (inside the sandbox): reads one JSON call per line,
[name, arg, ...], and prints one JSON answer per call: {"value": repr} or {"error", "message"}.

Two calls of its own: ["fds"] counts the open file descriptors, and ["nomemory", name, arg...]
calls name with each allocation in turn failing, answering the outcomes."""

import json
import os
import sys

import _ryzmap


def nomemory(name, *args):
    import _testcapi

    outcomes = []
    for start in range(1, 120):
        _testcapi.set_nomemory(start, start + 1)
        try:
            getattr(_ryzmap, name)(*args)
            outcome = "ok"
        except MemoryError:
            outcome = "MemoryError"
        finally:
            _testcapi.remove_mem_hooks()
        outcomes.append(outcome)
    return outcomes


def call(name, *args):
    if name == "fds":
        return len(os.listdir("/proc/self/fd"))
    if name == "nomemory":
        return nomemory(*args)
    return getattr(_ryzmap, name)(*args)


for line in sys.stdin:
    name, *args = json.loads(line)
    try:
        answer = {"value": repr(call(name, *args))}
    except Exception as e:
        answer = {"error": type(e).__name__, "message": str(e)}
    print(json.dumps(answer), flush=True)
