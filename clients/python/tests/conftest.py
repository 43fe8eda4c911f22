"""Shared by the tests: the bridge under test comes from $QUELT_LOCAL_PTY (CTest sets it to the
build's own), and a pyte screen shows what a program drew."""

import os
import sys
import time

import pyte
import pytest

# The package as it is in the checkout; the wheel test installs the built one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Sanitizer and slow machines stretch every deadline by this factor.
SLOW = float(os.environ.get("QLP_TEST_TIMEOUT_MULTIPLIER", "1"))
ENV = dict(os.environ, TERM="xterm-256color", LANG="C.UTF-8", LC_ALL="C.UTF-8")


class _PyteScreen(pyte.Screen):
    # vim asks xterm for modifyOtherKeys with CSI > 4 ; 2 m, which pyte 0.8 passes on as a
    # private SGR that its screen refuses; a terminal ignores what it does not know.
    def select_graphic_rendition(self, *attrs, private=False):
        if not private:
            super().select_graphic_rendition(*attrs)


class Screen:
    """What a terminal of cols x rows shows after the output read so far."""

    def __init__(self, term, cols=80, rows=24):
        self.term = term
        self.screen = _PyteScreen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)

    def text(self):
        return "\n".join(line.rstrip() for line in self.screen.display)

    def until(self, predicate, timeout=10.0):
        """Reads and renders until predicate(screen text) holds; fails showing the screen."""
        deadline = time.monotonic() + timeout * SLOW
        while not predicate(self.text()):
            remaining = deadline - time.monotonic()
            try:
                if remaining <= 0:
                    raise TimeoutError
                data = self.term.read(timeout=remaining)
            except TimeoutError:
                pytest.fail("the screen never showed what was awaited:\n" + self.text())
            if not data:
                pytest.fail("the output ended first; the screen:\n" + self.text())
            self.stream.feed(data)
        return self.text()

    def resize(self, cols, rows):
        self.screen.resize(rows, cols)
        self.term.resize(cols, rows)


@pytest.fixture
def screen_of():
    return Screen
