"""A scratch directory for one test: made under $TMPDIR (else /tmp) and removed, with
everything in it, when the test ends."""

import os
import shutil
import tempfile


def scratch_dir(test, prefix, mode=None):
    """A new directory named after prefix, removed by test's cleanup; mode, when given, is set
    exactly (the umask would narrow it), for directories that other users must reach."""
    path = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, path, True)
    if mode is not None:
        os.chmod(path, mode)
    return path
