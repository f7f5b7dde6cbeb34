"""Signals held back while a few statements must run to their end (a write-back, renames)."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from typing import Iterator

__all__ = ["deferred_signals"]

HELD = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
             if hasattr(signal, name))


@contextlib.contextmanager
def deferred_signals(signals=HELD) -> Iterator[None]:
    """Hold back ``signals`` for the body and deliver them after it, as the body had finished.

    Only the main thread can set handlers; elsewhere the body runs as is.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[tuple[int, object]] = []
    previous = {}
    for number in signals:
        if signal.getsignal(number) is None:  # set outside Python: leave it alone
            continue
        try:
            previous[number] = signal.signal(number, lambda n, frame: received.append((n, frame)))
        except (ValueError, OSError):  # pragma: no cover - not settable here
            pass
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        for number, _ in received[:1]:
            handler = previous.get(number)
            if callable(handler):
                handler(number, None)  # e.g. KeyboardInterrupt from the default SIGINT handler
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), number)
