"""Bash completion of ryxps: what a user gets after pressing Tab on a given command line."""

import shutil
import subprocess
import unittest

from packaging import sources

COMPLETION = sources.source("contrib/bash-completion/ryxps")

# Sources the completion, then completes each command line read from stdin (cursor at the end)
# and prints the candidates as readline would put them in place of the current word.
DRIVER = r'''
source "$1" || exit 1
complete -p ryxps || exit 1
while IFS= read -r line; do
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    _ryxps
    printf '%s\0' "${COMPREPLY[@]}"
    printf '\n'
done
'''


def complete(*lines, histexpand=False):
    """For each command line, the words the user ends up with: readline keeps the part of the
    current word up to its last word-break character and puts each candidate after it."""
    script = ("set -H\n" if histexpand else "") + DRIVER
    res = subprocess.run(["bash", "-c", script, "bash", COMPLETION], input="\n".join(lines) + "\n",
                         capture_output=True, text=True, check=True)
    registered, *outputs = res.stdout.split("\n")[:len(lines) + 1]
    assert registered == "complete -F _ryxps ryxps", registered
    breaks = " \t\n\"'><=;|&(:"
    results = []
    for line, out in zip(lines, outputs):
        cur = "" if line.endswith(" ") else line.split()[-1]
        cut = max((cur.rfind(c) for c in breaks), default=-1) + 1
        results.append(sorted(cur[:cut] + c for c in out.split("\0") if c))
    return results if len(lines) > 1 else results[0]


@unittest.skipIf(shutil.which("bash") is None, "bash not installed")
class CompletionTest(unittest.TestCase):
    def test_options(self):
        letters, _ = sources.ryxps_options()
        every = sorted(f"-{c}" for c in letters)
        self.assertEqual(complete("ryxps -"), every)
        self.assertEqual(complete("ryxps -n "), every)
        self.assertEqual(complete("ryxps -L"), ["-L"])
        # a number is expected after -c: nothing to offer
        self.assertEqual(complete("ryxps -c "), [])

    def test_sort_keys_with_and_without_reversal(self):
        keys = sources.sort_keywords()
        both, bang, i_keys, clustered = complete(
            "ryxps -s ", "ryxps -s !", "ryxps -d -s i", "ryxps -dns i")
        self.assertEqual(both, sorted(keys + [f"!{k}" for k in keys]))
        self.assertEqual(bang, sorted(f"!{k}" for k in keys))
        self.assertEqual(i_keys, ["io", "iops"])
        self.assertEqual(clustered, ["io", "iops"])
        self.assertEqual(complete("ryxps -s !m"), ["!mem"])
        # the argument attached to the option
        self.assertEqual(complete("ryxps -d -s!i"), ["-s!io", "-s!iops"])

    def test_reversal_is_escaped_where_the_shell_expands_history(self):
        keys = sources.sort_keywords()
        self.assertIn("\\!cpu", complete("ryxps -s ", histexpand=True))
        self.assertEqual(complete("ryxps -s \\!p", histexpand=True), ["\\!process"])
        self.assertEqual(len(complete("ryxps -s ", histexpand=True)), 2 * len(keys))

    def test_format_elements(self):
        kws = sources.column_keywords()
        first, after_id, partial = complete("ryxps -o ", "ryxps -p -o id:10,", "ryxps -o id:10,c")
        self.assertEqual(first, sorted(f"{k}:" for k in kws))
        # the list so far is kept, and a column already in it is not offered again
        self.assertEqual(after_id, sorted(f"id:10,{k}:" for k in kws if k != "id"))
        self.assertEqual(partial, ["id:10,com:", "id:10,cpu:"])
        self.assertEqual(complete("ryxps -o id:10,cpu:9,mem:"), ["id:10,cpu:9,mem:9"])
        self.assertEqual(complete("ryxps -o cpu:"), ["cpu:10"])
        self.assertEqual(complete("ryxps -o bogus:"), [])
        self.assertEqual(complete("ryxps -poid:10,t"), ["-poid:10,tid:", "-poid:10,tno:"])


if __name__ == "__main__":
    unittest.main()
