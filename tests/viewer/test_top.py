"""Top mode (-t) in a real terminal of a fixed size: repaints pass after pass, fills at most
the screen, quits on q, and gives the terminal back when a signal ends it."""

import os
import signal
import unittest

from harness.sandbox import fake_clock, require_sandbox
from viewer.viewer_support import new_host, ryxps

ROWS = 10

# Run at every interval: the next sample (or none once the test asks for it), in which container 1000+i has used i more seconds of
# CPU and every container's EP is the number of the sample.
NEXT_SAMPLE = r"""if [ -e "$(dirname "$0")/vanish" ]; then rm -f /proc/ryx/list; exit 0; fi
n=$RYX_FAKE_SLEEPS
{ printf '8:RYX\tEP\tCPU\n'
  i=1; while [ $i -le 20 ]; do echo "$((1000 + i)) $n $((n * i * 1000000000))"; i=$((i + 1)); done
} > /proc/ryx/list.new && mv /proc/ryx/list.new /proc/ryx/list
"""


@require_sandbox
class TopMode(unittest.TestCase):
    def setUp(self):
        self.host = new_host(self)
        self.host.ryx_list(["RYX", "EP", "CPU"], [[1000 + i, 0, 0] for i in range(1, 21)])
        hook = os.path.join(self.host.tmp, "next-sample.sh")
        with open(hook, "w") as f:
            f.write(NEXT_SAMPLE)
        # A little real time per interval, so that the loop does not spin.
        preload, env = fake_clock(hook=f"sh {hook}", real_ms=100)
        self.term = self.host.tmux([ryxps(), "-t", "-n", "-s", "cpu", "-o", "id:6,ep:4,cpu:8"],
                                   cols=60, rows=ROWS, preload=preload, env=env)
        self.addCleanup(self.term.close)

    def table(self, screen):
        return [line.split() for line in screen.splitlines() if line.strip()]

    def wait_for_sample(self, n):
        """The screen once it shows sample n or a later one."""
        return self.term.wait_for(lambda s: any(
            len(r) == 3 and r[1].isdigit() and int(r[1]) >= n for r in self.table(s)[1:]))

    def wait_for_normal_screen(self):
        # The terminal may still be catching up with the program's last output.
        self.term.wait_for(lambda s: "SPEED" not in s, timeout=5)

    def test_repaints_within_the_screen_and_quits_on_q(self):
        self.wait_for_sample(1)
        screen = self.wait_for_sample(3)
        table = self.table(screen)
        self.assertEqual(table[0], ["ID", "EP", "SPEED"])
        # Header plus LINES-1 containers, largest CPU first: 20 s over a 3 s interval.
        self.assertEqual(len(table), ROWS)
        self.assertEqual(table[1][::2], ["1020", "666%"])
        self.assertEqual([r[0] for r in table[1:]], [str(1020 - k) for k in range(ROWS - 1)])
        self.term.send("q")
        self.assertEqual(self.term.exit_status(), 0)
        self.wait_for_normal_screen()

    def test_signals_restore_the_terminal(self):
        self.wait_for_sample(1)
        os.kill(self.term.pid(), signal.SIGTERM)
        self.assertEqual(self.term.exit_signal(), signal.SIGTERM)
        self.wait_for_normal_screen()

    def test_unreadable_list_ends_with_the_message_on_the_normal_screen(self):
        self.wait_for_sample(1)
        open(os.path.join(self.host.tmp, "vanish"), "w").close()
        self.assertEqual(self.term.exit_status(), 185)
        self.term.wait_for(lambda s: "error: failed to get ryx stats (Protocol error)" in s
                           and "SPEED" not in s, history=ROWS)

    def test_interrupt_key(self):
        self.wait_for_sample(1)
        self.term.send("C-c")
        self.assertEqual(self.term.exit_signal(), signal.SIGINT)
        self.wait_for_normal_screen()


if __name__ == "__main__":
    unittest.main()
