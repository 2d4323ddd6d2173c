"""_ryzmap against the recording libryx stand-in: what each function passes to the library, how
every result and failure comes back to Python, and that every iterator opened is closed once.

Runs in-process: ctest starts the interpreter with the stand-in preloaded (LD_PRELOAD), so the
module binds to it instead of the real library. The stand-in reads its RYX_FAKE_* script at
every call, so each test scripts it through os.environ."""

import ast
import os
import re
import sys
import tempfile
import tracemalloc
import unittest

from bindings import support

try:
    import _ryzmap as m
except ImportError as e:  # a build problem: say where it was looked for
    raise RuntimeError(f"_ryzmap not importable (PYTHONPATH={os.environ.get('PYTHONPATH')}): {e}")

try:
    import _testcapi
except ImportError:
    _testcapi = None


def setUpModule():
    if os.path.realpath(support.FAKE_LIBRYX) not in support.loaded_libraries():
        raise RuntimeError(f"the libryx stand-in is not loaded; run through ctest "
                           f"(LD_PRELOAD={support.FAKE_LIBRYX})")


NOT_UTF8 = b"/srv/\xff\xfe"
STUB = os.path.join(support.SOURCE_DIR, "bindings", "_ryzmap.pyi")
BIG = 2**31 + 7
TOP = 2**32 - 1


class StandIn(unittest.TestCase):
    """Each test gets a fresh call log and an unscripted stand-in; after each test the log must
    show every opened iterator closed exactly once."""

    def setUp(self):
        fd, self.log_path = tempfile.mkstemp(prefix="ryzmap-log-")
        os.close(fd)
        self.addCleanup(os.unlink, self.log_path)
        saved = {k: v for k, v in os.environ.items() if k.startswith("RYX_FAKE_")}
        for k in saved:
            del os.environ[k]
        os.environ["RYX_FAKE_LOG"] = self.log_path
        self.addCleanup(self._restore, saved)

    def _restore(self, saved):
        for k in [k for k in os.environ if k.startswith("RYX_FAKE_")]:
            del os.environ[k]
        os.environ.update(saved)

    def tearDown(self):
        self.assertEqual(support.iterator_faults(self.log()), [], "\n".join(self.log()))

    def script(self, **settings):
        for k, v in settings.items():
            os.environ["RYX_FAKE_" + k] = str(v)

    def log(self):
        return support.read_log(self.log_path)

    def plain_log(self):
        """The log without iterator serials, which count across the whole process."""
        return [re.sub(r"iter\d+", "iter", line) for line in self.log()]

    def clear_log(self):
        open(self.log_path, "w").close()

    def assertOSError(self, message, fn, *args):
        with self.assertRaises(OSError) as cm:
            fn(*args)
        e = cm.exception
        self.assertIs(type(e), OSError)
        self.assertEqual(e.args, (message,))
        self.assertIsNone(e.errno)
        self.assertIsNone(e.strerror)


class ModuleDefinitionTest(unittest.TestCase):
    DOCS = {
        "fnv1a": "fnv1a(docroot) -> int\nFNV-1a hash of docroot string.",
        "lookup": "lookup(uid, docroot) -> int\nO(1) lookup. Returns 0 if not found.",
        "assign": "assign(uid, docroot) -> int\nAssign or return existing domain ID.",
        "remove": "remove(uid, docroot) -> int or None\nRemove mapping, return old ID.",
        "remove_all": "remove_all(uid) -> list[(str, int)]\nRemove all entries for uid.",
        "verify_ownership":
            "verify_ownership(uid, domain_id) -> bool\nCheck if domain_id belongs to uid.",
        "get_all_entries": "get_all_entries(uid) -> dict[str, int]\nAll entries for a uid.",
        "get_all_domain_ids": "get_all_domain_ids() -> set[int]\nAll domain IDs across all users.",
        "rebuild_index": "rebuild_index() -> None\nForce .index rebuild from per-uid files.",
        "min_id": "min_id() -> int\nMinimum domain RYX ID (UID_MAX from /etc/login.defs, "
                  "floor 60000).",
    }

    def test_definition_and_stub(self):
        self.assertEqual(m.__name__, "_ryzmap")
        self.assertEqual(m.__doc__.encode("utf-8"),
                         b"RYZ domain ID registry \xe2\x80\x94 C bindings backed by libryx.")
        self.assertEqual({n for n in dir(m) if not n.startswith("__")}, set(self.DOCS))
        with open(STUB, encoding="utf-8") as f:
            stub = ast.parse(f.read())
        self.assertEqual(ast.get_docstring(stub, clean=False), m.__doc__)
        defs = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
        self.assertEqual(set(defs), set(self.DOCS))
        for name, doc in self.DOCS.items():
            self.assertEqual(getattr(m, name).__doc__, doc, name)
            self.assertEqual(ast.get_docstring(defs[name], clean=False), doc, name)
            params = [p for p in doc.split("(", 1)[1].split(")", 1)[0].split(", ") if p]
            a = defs[name].args  # positional-only in the stub, as in the module
            self.assertEqual(([p.arg for p in a.posonlyargs], a.args, a.kwonlyargs, a.vararg,
                              a.kwarg), (params, [], [], None, None), name)

    def test_flags_and_formats_show_in_the_parser_errors(self):
        # METH_NOARGS refuses any argument, METH_VARARGS any keyword; the formats carry no
        # function name, so the parser speaks of "function".
        for name in ("get_all_domain_ids", "rebuild_index", "min_id"):
            with self.assertRaisesRegex(TypeError, rf"^(_ryzmap\.)?{name}\(\) takes no arguments"):
                getattr(m, name)(1)
        for name, args in (("fnv1a", ("/a",)), ("lookup", (1, "/a")), ("remove_all", (1,))):
            with self.assertRaisesRegex(TypeError, rf"^(_ryzmap\.)?{name}\(\) takes no keyword"):
                getattr(m, name)(*args, x=1)
        for fn, args, text in ((m.fnv1a, (), "exactly 1 argument (0 given)"),
                               (m.assign, (1, "/a", 3), "exactly 2 arguments (3 given)"),
                               (m.get_all_entries, (1, 2), "exactly 1 argument (2 given)"),
                               (m.verify_ownership, (1,), "exactly 2 arguments (1 given)")):
            with self.assertRaises(TypeError) as cm:
                fn(*args)
            self.assertEqual(str(cm.exception), "function takes " + text)


class ArgumentTest(StandIn):
    def test_uid_wraps_modulo_2_32(self):
        self.script(ENTRIES_4294967295="", ENTRIES_5="")
        for uid, seen in ((-1, 4294967295), (2**32 + 5, 5), (2**64 + 5, 5)):
            self.clear_log()
            for fn, args in ((m.lookup, (uid, "/a")), (m.assign, (uid, "/a")),
                             (m.remove, (uid, "/a")), (m.verify_ownership, (uid, uid)),
                             (m.get_all_entries, (uid,)), (m.remove_all, (uid,))):
                fn(*args)
            log = [line for line in self.plain_log() if not line.startswith("ryz_map_iter_")]
            self.assertEqual(log, [f"ryz_map_lookup {seen} 2f61 -> 0",
                                   f"ryz_map_assign {seen} 2f61 preset=0 -> 0",
                                   f"ryz_map_remove {seen} 2f61 preset=0 -> 0",
                                   f"ryz_map_verify_ownership {seen} {seen} -> 1",
                                   f"ryz_map_remove_all {seen} -> 0"])
            self.assertEqual(self.plain_log().count(f"ryz_map_iter_open {seen} -> iter"), 2)

    def test_docroot_reaches_the_library_as_utf8(self):
        docroot = "/srv/www/caf\u00e9/\u6f22"
        m.lookup(1000, docroot)
        self.assertEqual(self.log(), [f"ryz_map_lookup 1000 {support.hexroot(docroot)} -> 0"])
        self.assertEqual(m.fnv1a(docroot), fnv1a_reference(docroot.encode()))

    def test_rejected_arguments_never_reach_the_library(self):
        bad = ((ValueError, m.lookup, (1, "/a\0b")),
               (ValueError, m.fnv1a, ("\0",)),
               (UnicodeEncodeError, m.assign, (1, "/a\udcff")),
               (TypeError, m.remove, (1, b"/a")),
               (TypeError, m.lookup, ("1", "/a")),
               (TypeError, m.remove_all, (1.0,)),
               (TypeError, m.get_all_entries, (None,)),
               (TypeError, m.verify_ownership, (1, "2")))
        for exc, fn, args in bad:
            with self.assertRaises(exc, msg=f"{fn.__name__}{args!r}"):
                fn(*args)
        self.assertEqual(self.log(), [])


def fnv1a_reference(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


class ResultTest(StandIn):
    def test_ids_are_unsigned_32_bit(self):
        for value in (0, 1, BIG, TOP):
            self.script(LOOKUP=value, ID_MIN=value, ASSIGN=f"0:{value}", REMOVE=f"0:{value}")
            self.assertEqual(m.lookup(1, "/a"), value)
            self.assertEqual(m.min_id(), value)
            self.assertEqual(m.assign(1, "/a"), value)
            self.assertEqual(m.remove(1, "/a"), value or None)
        self.assertEqual(m.fnv1a("a"), 0xE40C292C)  # above 2^31: must not come back negative

    def test_assign(self):
        self.script(ASSIGN="0:60005")
        self.assertEqual(m.assign(1000, "/a"), 60005)
        self.script(ASSIGN="1:60006")  # positive statuses are successes too
        self.assertEqual(m.assign(1000, "/a"), 60006)
        self.script(ASSIGN="0")  # success without an id stored
        self.assertEqual(m.assign(1000, "/a"), 0)
        self.assertTrue(all("preset=0" in line for line in self.log()))
        for rc in (-1, -28, -2147483648):
            self.script(ASSIGN=f"{rc}:99")
            self.assertOSError(f"ryz_map_assign failed: {rc}", m.assign, 1000, "/a")

    def test_remove(self):
        self.script(REMOVE="0")  # nothing was mapped: the slot stays 0
        self.assertIsNone(m.remove(1000, "/a"))
        self.script(REMOVE="0:60007")
        self.assertEqual(m.remove(1000, "/a"), 60007)
        self.script(REMOVE="1:60008")
        self.assertEqual(m.remove(1000, "/a"), 60008)
        self.assertTrue(all("preset=0" in line for line in self.log()))
        self.script(REMOVE="-2:60009")
        self.assertOSError("ryz_map_remove failed: -2", m.remove, 1000, "/a")

    def test_verify_ownership_is_any_non_zero(self):
        for rc, want in ((1, True), (0, False), (7, True), (-1, True), (-22, True)):
            self.script(VERIFY=rc)
            self.assertIs(m.verify_ownership(1000, 60001), want, rc)
        self.assertIn("ryz_map_verify_ownership 1000 60001 -> -22", self.log())

    def test_rebuild_index(self):
        for rc in (0, 12):
            self.script(REBUILD=rc)
            self.assertIsNone(m.rebuild_index())
        self.script(REBUILD=-5)
        self.assertOSError("ryz_index_rebuild failed: -5", m.rebuild_index)


class ListingTest(StandIn):
    def test_get_all_entries(self):
        self.assertEqual(m.get_all_entries(1000), {})  # no iterator at all
        self.script(ENTRIES_1000="")
        self.assertEqual(m.get_all_entries(1000), {})  # an iterator without entries
        self.script(ENTRIES_1000=support.entries(
            [("/a", 60001), ("/b\u00e9", TOP), ("/a", BIG), ("/c", 0)]))
        got = m.get_all_entries(1000)
        self.assertEqual(got, {"/a": BIG, "/b\u00e9": TOP, "/c": 0})  # later duplicate wins
        self.assertEqual(len(support.calls(self.log(), "ryz_map_iter_close")), 2)

    def test_get_all_entries_stops_at_a_docroot_that_is_not_utf8(self):
        self.script(ENTRIES_1000=support.entries([("/a", 1), (NOT_UTF8, 2), ("/c", 3)]))
        with self.assertRaises(UnicodeDecodeError):
            m.get_all_entries(1000)
        self.assertEqual(len(support.calls(self.log(), "ryz_map_iter_next")), 2)

    def test_remove_all_snapshots_in_order_then_removes(self):
        pairs = [("/z", 60003), ("/a", BIG), ("/m\u00e9", TOP), ("/z", 60004)]
        self.script(ENTRIES_1000=support.entries(pairs), REMOVE_ALL=4)
        self.assertEqual(m.remove_all(1000), pairs)
        # The iterator is closed before the removal starts.
        self.assertEqual(self.plain_log()[-2:], ["ryz_map_iter_close iter",
                                                 "ryz_map_remove_all 1000 -> 4"])
        self.assertTrue(all(type(t) is tuple and len(t) == 2 for t in m.remove_all(1000)))

    def test_remove_all_without_entries_still_removes(self):
        self.assertEqual(m.remove_all(1000), [])
        self.assertEqual(self.log(), ["ryz_map_iter_open 1000 -> NULL",
                                      "ryz_map_remove_all 1000 -> 0"])
        self.script(REMOVE_ALL=-13)
        self.assertOSError("ryz_map_remove_all failed: -13", m.remove_all, 1000)

    def test_remove_all_failure_after_listing(self):
        self.script(ENTRIES_1000=support.entries([("/a", 1)]), REMOVE_ALL=-5)
        self.assertOSError("ryz_map_remove_all failed: -5", m.remove_all, 1000)

    def test_remove_all_removes_nothing_when_the_snapshot_fails(self):
        self.script(ENTRIES_1000=support.entries([("/a", 1), (NOT_UTF8, 2)]))
        with self.assertRaises(UnicodeDecodeError):
            m.remove_all(1000)
        self.assertEqual(support.calls(self.log(), "ryz_map_remove_all"), [])


class ReferenceTest(StandIn):
    """Every object the module makes ends up owned by its result or released: repeated calls
    must not grow the interpreter's memory, and None must stay balanced."""

    CALLS = ((m.fnv1a, ("/srv/a",)), (m.lookup, (1000, "/srv/a")), (m.assign, (1000, "/a")),
             (m.remove, (1000, "/srv/a")), (m.verify_ownership, (1000, 70000)),
             (m.get_all_entries, (1000,)), (m.get_all_entries, (1001,)),
             (m.remove_all, (1000,)), (m.remove_all, (1001,)), (m.rebuild_index, ()),
             (m.min_id, ()), (m.lookup, (1, "\0")))

    def exercise(self):
        # Successes and failures both: a failure path must release as much as a success.
        for fn, args in self.CALLS:
            try:
                fn(*args)
            except (OSError, UnicodeDecodeError, ValueError):
                pass

    def test_no_growth_over_many_calls(self):
        os.environ.pop("RYX_FAKE_LOG")  # keep the log out of the measured loop
        self.script(ENTRIES_1000=support.entries([(f"/srv/d{i}", 70000 + i) for i in range(20)]),
                    ENTRIES_1001=support.entries([("/ok", 70000), (NOT_UTF8, 70001)]),
                    LOOKUP=BIG, ASSIGN="-1", REMOVE="0", ID_MIN=BIG, VERIFY=-1)
        # Dict keys are interned; holding them keeps the interpreter's table of interned
        # strings from churning (and growing for a while) on every call.
        keep = [sys.intern(f"/srv/d{i}") for i in range(20)] + [sys.intern("/ok")]
        for _ in range(50):
            self.exercise()
        nones = sys.getrefcount(None)
        total = getattr(sys, "gettotalrefcount", lambda: 0)()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(2000):
                self.exercise()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        # One leaked int per call would be 64 KB here.
        self.assertLess(grown, 16 * 1024)
        self.assertLess(abs(sys.getrefcount(None) - nones), 50)
        if hasattr(sys, "gettotalrefcount"):
            self.assertLess(abs(sys.gettotalrefcount() - total), 50)
        del keep


@unittest.skipIf(_testcapi is None, "_testcapi not available")
class MemoryFailureTest(StandIn):
    """Out of memory at each allocation in turn: every failure leaves the exception, closes
    the iterator and, for remove_all, removes nothing."""

    def sweep(self, fn, *args):
        outcomes = set()
        for start in range(1, 200):
            self.clear_log()
            _testcapi.set_nomemory(start, start + 1)
            try:
                result = fn(*args)
            except MemoryError:
                result = MemoryError
            finally:
                _testcapi.remove_mem_hooks()
            log = self.log()
            self.assertEqual(support.iterator_faults(log), [], f"allocation {start}: {log}")
            outcomes.add(result is MemoryError)
            yield result, log
        self.assertEqual(outcomes, {True, False})  # the sweep did reach past every allocation

    def test_listings(self):
        pairs = [(f"/srv/d{i}", 70000 + i) for i in range(8)]
        self.script(ENTRIES_1000=support.entries(pairs))
        for result, _ in self.sweep(m.get_all_entries, 1000):
            if result is not MemoryError:
                self.assertEqual(result, dict(pairs))
        for result, log in self.sweep(m.remove_all, 1000):
            removed = support.calls(log, "ryz_map_remove_all")
            if result is MemoryError:
                self.assertEqual(removed, [])
            else:
                self.assertEqual((result, len(removed)), (pairs, 1))


if __name__ == "__main__":
    unittest.main()
