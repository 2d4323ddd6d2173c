"""Every call in the tree that sends a signal by pid must first make sure the pid is a real one.
kill(0, ...) signals the caller's whole process group and kill(-1, ...) every process the caller
may signal, which for a test running as root is the whole machine: a pid variable not yet set,
or a fork that failed, must never get that far."""

import os
import re
import unittest

from harness.sandbox import SOURCE_DIR

SCANNED = ("sampler", "ryxtop", "ryz-helpers", "libryx", "bindings", "sim", "tests", "bench", "scripts",
           "fuzz", "packaging")
OWN_DIR = os.path.join("tests", "hardening")

C_CALL = re.compile(r"(?<![\w.])(?:::)?(kill|killpg|tgkill|tkill|sigqueue|pidfd_send_signal)\s*\(")
PY_CALL = re.compile(r"\bos\.(kill|killpg)\s*\(|\bsignal\.pthread_kill\s*\(")
SH_CALL = re.compile(r"(?:^|[;&|({]\s*|\bthen\s+|\bdo\s+)kill\s+(?!-l\b)")
GUARD = r"(?:>\s*0|>=\s*1|<=\s*0|<\s*1)"
# The sandbox's terminal refuses to hand out a pid <= 0 (Tmux.pid).
VALIDATED = re.compile(r"\.pid\(\)$")
LOOKBACK = 5


def first_argument(text):
    """The text of the first argument of the call whose "(" text starts after."""
    depth = 0
    for i, c in enumerate(text):
        if c in "([":
            depth += 1
        elif c in ")]":
            if depth == 0:
                return text[:i].strip()
            depth -= 1
        elif c == "," and depth == 0:
            return text[:i].strip()
    return text.strip()


def unguarded_calls():
    """(file, line number, line) of every signal sent by a pid with no guard in sight."""
    found, total = [], 0
    for top in SCANNED:
        for root, dirs, files in os.walk(os.path.join(SOURCE_DIR, top)):
            dirs[:] = [d for d in dirs if d not in ("__pycache__", "corpus")]
            if os.path.relpath(root, SOURCE_DIR).startswith(OWN_DIR):
                continue
            for name in files:
                ext = os.path.splitext(name)[1]
                if ext not in (".c", ".cc", ".cpp", ".h", ".py", ".sh") and ext:
                    continue
                path = os.path.join(root, name)
                with open(path, errors="replace") as f:
                    lines = f.read().splitlines()
                if not ext and not (lines and lines[0].startswith("#!") and "sh" in lines[0]):
                    continue
                for n, line in enumerate(lines):
                    code = line.split("//")[0] if ext in (".c", ".cc", ".cpp", ".h") else line
                    code = code.split("#")[0] if ext in (".py", ".sh", "") else code
                    calls = []
                    if ext == ".py":
                        calls = [m.end() for m in PY_CALL.finditer(code)]
                    elif ext in (".sh", ""):
                        if SH_CALL.search(code):
                            total += 1
                            found.append((path, n + 1, line.strip()))  # use Popen-style tools
                        continue
                    else:
                        calls = [m.end() for m in C_CALL.finditer(code)
                                 if not code[:m.start()].rstrip().endswith(("int", "void"))]
                    for end in calls:
                        total += 1
                        arg = first_argument(code[end:])
                        core = re.sub(r"^static_cast<\w+>\((.*)\)$", r"\1", arg)
                        if VALIDATED.search(core):
                            continue
                        context = "\n".join(lines[max(0, n - LOOKBACK):n + 1])
                        if not re.search(re.escape(core) + r"\s*" + GUARD, context):
                            found.append((path, n + 1, line.strip()))
    return found, total


class SignalGuards(unittest.TestCase):

    def test_every_signal_goes_to_a_checked_pid(self):
        found, total = unguarded_calls()
        # The tree does send signals; finding none would mean the scan itself is broken.
        self.assertGreater(total, 0)
        self.assertEqual(
            [f"{os.path.relpath(p, SOURCE_DIR)}:{n}: {line}" for p, n, line in found], [],
            "signals sent without making sure the pid is > 0")

    def test_the_scan_catches_the_dangerous_forms(self):
        self.assertEqual(first_argument("pids[w], SIGKILL);"), "pids[w]")
        self.assertEqual(first_argument("f(a, b), SIGTERM)"), "f(a, b)")
        for code in ("    kill(pid, SIGTERM);", "::kill(upd, SIGKILL);", "killpg(g, SIGINT);"):
            self.assertTrue(C_CALL.search(code), code)
        for code in ("os.kill(pid, signal.SIGTERM)", "os.killpg(os.getpgid(p), 9)"):
            self.assertTrue(PY_CALL.search(code), code)
        for code in ("kill $pid", "[ -n x ] && kill -9 $p", "trap 'kill 0' EXIT; do kill $x"):
            self.assertTrue(SH_CALL.search(code), code)
        for code in ("tmux kill-server", "proc.kill()", "skill(x)", "int kill(pid_t, int);"):
            self.assertFalse(PY_CALL.search(code) or SH_CALL.search(code)
                             or (C_CALL.search(code) and "int" not in code), code)


if __name__ == "__main__":
    unittest.main()
