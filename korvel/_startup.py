"""Ctrl-C while ``python -m korvel`` is still importing: one line and status 130.

Python runs the package's ``__init__`` (NumPy, the extension, the host modules) before
``korvel.__main__``, where the commands handle interrupts themselves; an interrupt in between
would end in a traceback through the imports. Nothing has been written by then, so the process
can simply end. Only the command line is concerned: an ordinary ``import korvel`` is untouched.
"""

from __future__ import annotations

import os
import signal
import sys
import threading

MESSAGE = b"interrupted; no output was changed\n"


def _exit_at_once(number, frame) -> None:
    try:
        os.write(2, MESSAGE)
    finally:
        os._exit(128 + number)


def quiet_interrupt_while_starting() -> None:
    """While ``python -m korvel`` imports the package (``sys.argv[0]`` is still "-m" then),
    make SIGINT end the process quietly; ``korvel.__main__.main`` puts the usual handler back."""
    if sys.argv[:1] != ["-m"] or threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _exit_at_once)


def restore_interrupt() -> None:
    """The usual KeyboardInterrupt again, if the start-up handler is still in place."""
    if threading.current_thread() is threading.main_thread() and \
            signal.getsignal(signal.SIGINT) is _exit_at_once:
        signal.signal(signal.SIGINT, signal.default_int_handler)
