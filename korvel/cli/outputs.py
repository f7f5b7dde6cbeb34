"""The output folder of a command: checked before the work starts, filled all at once.

A run's files are written under temporary names in the folder, then renamed into place together
only when every one of them has been written, with signals held back while the names change. A
run therefore leaves either all of its new files or all of the old ones, and files of the run's
own names that it did not make this time (a plot without matplotlib) are removed, so that no file
of another run stays beside the new ones.
"""

from __future__ import annotations

import contextlib
import os
import sys
from pathlib import Path
from typing import Callable, Iterator

from korvel._signals import deferred_signals

__all__ = ["OutputError", "OutputFolder", "deferred_signals", "one_line", "quiet_pipe"]

_TEMPORARY = ".partial-{pid}-{name}"
_BACKUP = ".previous-{pid}-{name}"


class OutputError(OSError):
    """The output folder cannot take the run's files; the message is one line naming it."""


def one_line(error: BaseException) -> str:
    """The first line of an error's message (the message's own text, as for ``print``)."""
    text = str(error).strip() or type(error).__name__
    return text.splitlines()[0]


@contextlib.contextmanager
def quiet_pipe() -> Iterator[None]:
    """Stop printing quietly when the reader of stdout has gone (``| head -1``), as Unix tools
    do: the rest of the output is dropped, and nothing is reported at exit either."""
    try:
        yield
    except BrokenPipeError:
        with contextlib.suppress(OSError, ValueError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)


def _describe(error: OSError) -> str:
    return error.strerror or type(error).__name__


class OutputFolder:
    """The folder a run writes ``names`` into.

    ``check()`` runs before the work: the folder is made if missing and must take a file. Then
    ``commit({name: writer})`` writes each file with its writer (called with the temporary path;
    it returns False when it made no file) and renames them into place together.
    """

    def __init__(self, path: Path | str, names: tuple[str, ...]):
        self.path = Path(path)
        self.names = tuple(names)
        self.committed = False  # every file in place
        self._created: list[Path] = []

    def check(self) -> None:
        """Make the folder (and its missing parents) and prove it takes a file; or raise
        OutputError."""
        path = self.path
        if path.exists() and not path.is_dir():
            raise OutputError(f"output folder {path} is a file, not a folder")
        missing = []
        ancestor = path
        while not ancestor.exists():
            missing.append(ancestor)
            if ancestor.parent == ancestor:
                break
            ancestor = ancestor.parent
        if missing and ancestor.exists() and not ancestor.is_dir():
            raise OutputError(f"output folder {path} cannot be made: {ancestor} is a file")
        for folder in reversed(missing):
            try:
                folder.mkdir()
            except FileExistsError:
                continue
            except OSError as error:
                self.discard()
                raise OutputError(f"output folder {path} cannot be made: "
                                  f"{_describe(error)}") from None
            self._created.append(folder)
        for name in self.names:
            target = path / name
            if target.is_dir() and not target.is_symlink():
                self.discard()
                raise OutputError(f"output {target} is a folder; remove it or choose another "
                                  f"--output")
        probe = path / _TEMPORARY.format(name="probe", pid=os.getpid())
        try:
            with open(probe, "wb"):
                pass
            os.unlink(probe)
        except OSError as error:
            self.discard()
            raise OutputError(f"output folder {path} does not take files: "
                              f"{_describe(error)}") from None

    def discard(self) -> None:
        """Remove the folders ``check()`` made, if they are still empty (a run that failed)."""
        for folder in reversed(self._created):
            with contextlib.suppress(OSError):
                folder.rmdir()
        self._created.clear()

    def commit(self, writers: dict[str, Callable[[Path], bool | None]]) -> list[Path]:
        """Write every file under a temporary name, then put them all in place; returns the
        paths written. On any failure or interrupt the folder holds its old files and no
        temporary one."""
        pid = os.getpid()
        unknown = set(writers) - set(self.names)
        if unknown:
            raise ValueError(f"outputs not declared: {sorted(unknown)}")
        temporary = {name: self.path / _TEMPORARY.format(name=name, pid=pid) for name in writers}
        made: list[str] = []
        try:
            for name, writer in writers.items():
                if writer(temporary[name]) is not False:
                    made.append(name)
            for name in made:
                if not temporary[name].is_file():
                    raise OutputError(f"output {name} was not written")
            with deferred_signals():
                self._swap({name: temporary[name] for name in made})
                self.committed = True
        finally:
            for path in temporary.values():
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
        self._created.clear()  # the folder is in use now
        return [self.path / name for name in made]

    def _swap(self, temporary: dict[str, Path]) -> None:
        """Set the old files of every name aside, move the new ones in, then drop the old;
        on a failure put the old ones back."""
        pid = os.getpid()
        folder = self.path
        aside: list[str] = []
        placed: list[str] = []
        try:
            for name in self.names:
                target = folder / name
                if os.path.lexists(target):
                    if target.is_dir() and not target.is_symlink():
                        raise OutputError(f"output {target} is a folder; remove it or choose "
                                          f"another --output")
                    os.replace(target, folder / _BACKUP.format(name=name, pid=pid))
                    aside.append(name)
            for name, path in temporary.items():
                os.replace(path, folder / name)
                placed.append(name)
        except OSError as error:
            for name in placed:
                with contextlib.suppress(OSError):
                    os.unlink(folder / name)
            for name in aside:
                with contextlib.suppress(OSError):
                    os.replace(folder / _BACKUP.format(name=name, pid=pid), folder / name)
            if isinstance(error, OutputError):
                raise
            raise OutputError(f"cannot write the outputs in {folder}: {_describe(error)}") \
                from None
        for name in aside:
            with contextlib.suppress(OSError):
                os.unlink(folder / _BACKUP.format(name=name, pid=pid))
