"""A progress bar for long simulations."""

from __future__ import annotations

import sys
import time


class Progress:
    """A one-line progress bar on stderr, shown once a run has taken more than a second."""

    def __init__(self, total: int, enabled: bool | None, unit: str = "blocks"):
        self.total, self.enabled, self.done, self.unit = total, enabled, 0, unit
        self.started = self.last = time.monotonic()
        self.shown, self.written = False, 0

    def advance(self, blocks: float = 1.0, detail: str = ""):
        """Count ``blocks`` more done (a fraction for a finished chunk of a block)."""
        self.done += blocks
        if self.enabled is False:
            return
        now = time.monotonic()
        finished = self.done >= self.total - 1e-9
        if (self.enabled or now - self.started > 1.0) and (now - self.last > 0.1 or finished):
            self.last, self.shown = now, True
            width = 30
            filled = min(width, int(width * self.done / max(self.total, 1) + 1e-9))
            line = (f"simulating [{'#' * filled}{'.' * (width - filled)}] "
                    f"{int(self.done + 1e-9)}/{self.total} {self.unit}{detail}")
            # Blanks over the rest of a longer line before it, then the line again so that the
            # cursor ends right after it.
            blank = "\r" + " " * self.written if len(line) < self.written else ""
            sys.stderr.write(blank + "\r" + line)
            self.written = len(line)
            sys.stderr.flush()

    def close(self):
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
