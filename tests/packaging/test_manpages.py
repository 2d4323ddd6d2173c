"""The man pages: they render cleanly and list what the programs and the library really have."""

import os
import re
import shutil
import subprocess
import unittest

from packaging import sources

MAN_DIR = sources.source("docs/man")
MAN_ENV = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")


def pages():
    return sorted(n for n in os.listdir(MAN_DIR) if re.search(r"\.[1-8]$", n))


def so_target(name):
    """The page a link page points to ("man3/libryx.3"), or None for a real page."""
    with open(os.path.join(MAN_DIR, name), encoding="utf-8") as f:
        first = f.readline()
    m = re.match(r"\.so\s+(\S+)\s*$", first)
    return m.group(1) if m else None


def render(name):
    """Plain text of a page, wide enough that no tag line wraps."""
    res = subprocess.run(["groff", "-t", "-man", "-Tascii", "-P-c", "-P-b", "-P-u", "-P-o",
                          "-rLL=250n", os.path.join(MAN_DIR, name)],
                         capture_output=True, text=True, env=MAN_ENV, check=True)
    return res.stdout


def section(text, title):
    """Body of one section (from its unindented heading to the next)."""
    m = re.search(rf"^{re.escape(title)}\n(.*?)(?=^\S|\Z)", text, re.M | re.S)
    if not m:
        raise AssertionError(f"no section {title!r}")
    return m.group(1)


_ESCAPES = [(r"\\f[BIRP]", ""), (r"\\-", "-"), (r"\\\(aq", "'"), (r"\\\([lr]q", '"'),
            (r"\\e", "\\\\"), (r"\\[&%]", ""), (r"\\ ", " ")]


def _plain(line):
    """One source line as text: font macros joined the way they render, escapes resolved."""
    m = re.match(r"\.(B|I|BI|BR|IB|IR|RB|RI)\s+(.*)", line)
    if m:
        args = [a[1:-1] if a.startswith('"') else a
                for a in re.findall(r'"[^"]*"|\S+', m.group(2))]
        line = (" " if m.group(1) in ("B", "I") else "").join(args)
    for pattern, repl in _ESCAPES:
        line = re.sub(pattern, repl, line)
    return line


def tags(name, title):
    """The tag of every .TP paragraph of one section of a page's source, as text."""
    with open(os.path.join(MAN_DIR, name), encoding="utf-8") as f:
        lines = f.read().splitlines()
    found, current = [], None
    for i, line in enumerate(lines):
        if line.startswith(".SH"):
            current = _plain(line[3:].strip().strip('"'))
        elif line.startswith(".TP") and current == title:
            found.append(_plain(lines[i + 1]))
    return found


@unittest.skipIf(shutil.which("groff") is None, "groff not installed")
class RenderingTest(unittest.TestCase):
    def test_every_page_formats_without_warnings(self):
        for name in pages():
            if so_target(name):
                continue
            with self.subTest(page=name):
                res = subprocess.run(["groff", "-t", "-man", "-ww", "-z", "-Tutf8",
                                      os.path.join(MAN_DIR, name)],
                                     capture_output=True, text=True, env=MAN_ENV)
                self.assertEqual((res.returncode, res.stderr), (0, ""))
                if shutil.which("man"):
                    res = subprocess.run(["man", "--warnings=all", "-l", name], cwd=MAN_DIR,
                                         capture_output=True, text=True, env=MAN_ENV)
                    self.assertEqual((res.returncode, res.stderr), (0, ""))
                    self.assertIn("NAME", res.stdout)

    def test_link_pages_point_at_a_page_of_their_section(self):
        for name in pages():
            target = so_target(name)
            if target is None:
                continue
            with self.subTest(page=name):
                m = re.fullmatch(r"man([1-8])/([^/]+\.([1-8]))", target)
                self.assertIsNotNone(m, f"{name}: .so {target} is not man<N>/<page>.<N>")
                self.assertEqual(m.group(1), m.group(3))
                self.assertEqual(name.rsplit(".", 1)[1], m.group(1), "link in another section")
                self.assertIn(m.group(2), pages())
                self.assertIsNone(so_target(m.group(2)), "link to a link")


@unittest.skipIf(shutil.which("groff") is None, "groff not installed")
class ViewerPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = render("ryxps.1")

    def test_every_option_of_the_program_is_described(self):
        letters, with_arg = sources.ryxps_options()
        described = {}
        for tag in tags("ryxps.1", "OPTIONS"):
            m = re.fullmatch(r"-(\w)(?: (\S+))?", tag)
            if m:
                described[m.group(1)] = m.group(2)
        self.assertEqual(sorted(described), sorted(letters))
        for letter in letters:
            with self.subTest(option=letter):
                # an option that takes an argument shows it in its tag, and only then
                self.assertEqual(described[letter] is not None, letter in with_arg)
        synopsis = section(self.text, "SYNOPSIS")
        for letter in letters:
            self.assertIn(f"-{letter}", synopsis)

    def test_every_column_keyword_with_header_and_unit(self):
        cols = {}
        for tag in tags("ryxps.1", "COLUMNS"):
            m = re.match(r"(\w+) \(header (.*)\)$", tag)
            if m:
                cols[m.group(1)] = m.group(2)
        self.assertEqual(sorted(cols), sorted(sources.column_keywords()))
        # the headers that change with the mode are both named
        self.assertRegex(cols["cpu"], r"CPU or SPEED")
        self.assertRegex(cols["io"], r"DT or IO")
        self.assertRegex(cols["iops"], r"DO or IOPS")
        body = section(self.text, "COLUMNS")
        for unit in ("MiB", "seconds", "percent", "MHz", "per second"):
            self.assertIn(unit, body)

    def test_every_sort_keyword_in_both_directions(self):
        body = section(self.text, "SORT KEYS")
        keys = sources.sort_keywords()
        self.assertEqual(sorted(tags("ryxps.1", "SORT KEYS")), sorted(keys))
        for key in keys:
            self.assertIn(f"!{key}", body)

    def test_output_modes_placeholders_and_exit_statuses(self):
        out = section(self.text, "OUTPUT")
        for header in ("ID EP PNO TNO CPU MEM DT DO", "ID EP PNO TNO SPEED MEM IO IOPS",
                       "ID EP PNO TNO CPU MEM IO IOPS"):
            self.assertIn(header, out)
        placeholders = tags("ryxps.1", "OUTPUT")
        for p in ("---", "(blank)", "N/A"):
            self.assertIn(p, placeholders)
        # -22 and the reader's -EPROTO and -ENOMEM, as the shell sees them
        self.assertEqual(tags("ryxps.1", "EXIT STATUS"), ["0", "22", "234", "185", "244"])


@unittest.skipIf(shutil.which("groff") is None, "groff not installed")
class HelpersPageTest(unittest.TestCase):
    HELPERS = ("ryz-limits-helper", "ryz-registry-helper", "ryz-stats-helper")

    def test_each_helper_has_a_page_that_quotes_its_own_usage_text(self):
        text = " ".join(render("ryz-helpers.8").split())
        for helper in self.HELPERS:
            with self.subTest(helper=helper):
                self.assertEqual(so_target(f"{helper}.8"), "man8/ryz-helpers.8")
                exe = os.path.join(sources.BUILD_DIR, "ryz-helpers", helper)
                if not os.path.exists(exe):
                    self.fail(f"{helper} not built at {exe}")
                # wrong argument count: the usage text, before any system file is looked at
                res = subprocess.run([exe], capture_output=True, text=True)
                usage = res.stderr.strip()
                self.assertTrue(usage.startswith("Usage: "), usage)
                self.assertIn(usage, text)

    def test_exit_statuses_of_the_helpers(self):
        statuses = tags("ryz-helpers.8", "EXIT STATUS")
        self.assertEqual(statuses, ["0", "1", "2", "3", "4", "5", "6"])


@unittest.skipIf(shutil.which("groff") is None, "groff not installed")
class AdminPageTest(unittest.TestCase):
    def test_every_command_and_option_of_the_help_text(self):
        exe = os.path.join(sources.BUILD_DIR, "libryx", "ryxctl")
        if not os.path.exists(exe):
            self.fail(f"ryxctl not built at {exe}")
        res = subprocess.run([exe, "--help"], capture_output=True, text=True)
        self.assertEqual(res.returncode, 0, res.stderr)
        commands, options = set(), set()
        for line in res.stdout.splitlines():
            m = re.match(r"  ([a-z][a-z-]*)", line)
            if m:
                commands.add(m.group(1))
                commands.update(re.findall(r"\s\|\s+([a-z][a-z-]*)", line))
            options.update(re.findall(r"^\s+(?:-\w, )?(--[a-z-]+)", line))
        self.assertGreater(len(commands), 10, res.stdout)
        documented = {t.split()[0] for t in tags("ryxctl.8", "COMMANDS")}
        self.assertEqual(sorted(commands - documented), [])
        documented = {o for t in tags("ryxctl.8", "OPTIONS") for o in re.findall(r"--[a-z-]+", t)}
        self.assertEqual(sorted(options - documented), [])

    def test_every_option_of_the_daemon(self):
        exe = os.path.join(sources.BUILD_DIR, "libryx", "ryxd")
        if not os.path.exists(exe):
            self.fail(f"ryxd not built at {exe}")
        res = subprocess.run([exe, "--help"], capture_output=True, text=True)
        self.assertEqual(res.returncode, 0, res.stderr)
        options = set(re.findall(r"--[a-z][a-z-]*", res.stdout))
        self.assertGreater(len(options), 5, res.stdout)
        documented = {o for t in tags("ryxd.8", "OPTIONS") for o in re.findall(r"--[a-z-]+", t)}
        # and the page names no option the daemon lacks (--help aside, which its text omits)
        self.assertEqual(sorted(options ^ (documented - {"--help"})), [])


@unittest.skipIf(shutil.which("groff") is None, "groff not installed")
class LibraryPageTest(unittest.TestCase):
    def test_every_exported_call_is_named_declared_described_and_linked(self):
        text = render("libryx.3")
        name = " ".join(section(text, "NAME").split())
        synopsis = section(text, "SYNOPSIS")
        described = tags("libryx.3", "DESCRIPTION")
        for call in sources.library_calls():
            with self.subTest(call=call):
                self.assertRegex(name, rf"\b{call}\b")
                self.assertRegex(synopsis, rf"\b{call}\(")
                self.assertIn(f"{call}()", described)
                self.assertEqual(so_target(f"{call}.3"), "man3/libryx.3")


if __name__ == "__main__":
    unittest.main()


class ArchitectureTest(unittest.TestCase):
    """docs/architecture.md names only files, folders and build targets that exist."""

    def test_every_named_file_and_target_exists(self):
        with open(sources.source("docs/architecture.md"), encoding="utf-8") as f:
            text = f.read()
        cmake = ""
        for top, _, names in os.walk(sources.SOURCE_DIR):
            if "CMakeLists.txt" in names and "/build" not in top and "/.git" not in top:
                with open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8") as f:
                    cmake += f.read()
        missing = []
        for token in sorted(set(re.findall(r"`([^`\s]+)`", text))):
            if re.fullmatch(r"(lib)?ryx[a-z]*_[a-z_]+", token) and "(" not in token:
                if token.startswith(("libryx_", "ryx_sampler", "ryxps_core")) and \
                        not re.search(rf"add_library\({token}\b", cmake):
                    missing.append(token)
            elif re.search(r"\.(\*|h|cpp|py|md|map)$|/$", token) and not token.startswith("/") \
                    and "<" not in token:
                if not self.found(token):
                    missing.append(token)
        self.assertEqual(missing, [], "named in docs/architecture.md but not in the tree")

    @staticmethod
    def found(token):
        """A path relative to the top, to libryx/ or to a product folder, or a bare file name
        (with * for any suffix) somewhere in the product folders."""
        import glob
        bases = ["", "libryx/", "libryx/src/", "libryx/util/", "sampler/", "ryxtop/",
                 "exporter/", "sim/", "ryz-helpers/", "tests/*/"]
        return any(glob.glob(sources.source(base + token)) for base in bases)
