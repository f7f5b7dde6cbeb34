"""Plan blocks split into chunks of parents and run on a Dask cluster, or on local threads.

A parent's result depends only on its own spins and on the shared tables, so a block cut into
parent-aligned chunks, each run by the driver itself, gives exactly the bits of one call. Each
function here takes its driver's arguments plus where and how to run:

- ``client``: a ``dask.distributed.Client`` (``Client("tcp://scheduler:8786")`` for a real
  cluster, or one on a ``LocalCluster``), or None to run the chunks on a local thread pool,
  which needs no Dask at all.
- ``chunk_parents``: parents per chunk (None: about four chunks for each task slot).
- ``max_chunk_bytes``: the bound on a chunk's working set, its slices of the spin and parent
  arrays with those the driver writes counted twice; chunks are made smaller to respect it.
- ``task_threads``: the driver's ``num_threads`` inside each task (None: the call's own).
- ``progress``: called as ``progress(done, total)`` in the calling thread per finished chunk.
- ``driver``: the function each chunk runs (None: the native driver of the same name; the
  ``korvel.reference`` function gives the same bits).

The call validates exactly as the driver does, before anything is sent. The tables without a spin
axis, and those the same for every spin (zero-stride broadcasts, sent as one spin's values), are
scattered once to every worker; each chunk's slices travel in its task, and at most two
chunks per task slot are in flight, so no worker holds the whole block. Dask runs the task of a
lost worker again elsewhere (up to its ``distributed.scheduler.allowed-failures``). The caller
gathers each chunk's results as it finishes (one copy of the arrays the driver writes, in all) and
writes them into its arrays only after every chunk has succeeded: a chunk that fails raises
``ChunkError`` naming its parents, and the caller's arrays are left as they were.

The write-back runs with SIGINT, SIGTERM and SIGHUP held back (in the main thread), so that
Ctrl-C leaves either every array as it was or every array written. After the call, whatever its
end, nothing it made stays: no future or key on the client, the scheduler or the workers, and
no exception that leaves it holds the call's frames (and through them the caller's arrays), so
the arrays go when the caller lets them go, without waiting for the garbage collector. A closed
client, or a scheduler that cannot be reached, raises ``ClusterError`` (a ``ChunkError``) at once.
"""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import contextlib
import inspect
import math
import os
import time
import traceback
import warnings
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from korvel import pelorine, reference
from korvel._signals import deferred_signals
from korvel.host.drivers import (
    MULTI_POOL,
    RECORDS,
    RF_TABLES,
    SOURCE_INTERVAL,
    TWO_POOL,
    Driver,
    Layout,
)

__all__ = [
    "ChunkError",
    "ClusterError",
    "chunked",
    "apply_dynamic_rf_block_with_concentration_inflow",
    "run_dynamic_plan_block_multi_pool",
    "run_dynamic_plan_block_no_inflow",
]

DEFAULT_MAX_CHUNK_BYTES = 256 * 2**20
_CHUNKS_PER_SLOT = 4
_IN_FLIGHT_PER_SLOT = 2
_RESUBMISSIONS = 3


class ChunkError(RuntimeError):
    """A chunk of parents failed; no array of the call was changed.

    ``parents`` is the chunk's range of parents; the chunk's own exception is ``__cause__``,
    without its frames (which held the chunk's arrays); ``chunk_traceback`` keeps their text.
    """

    def __init__(self, parents: range, nparents: int, cause: BaseException):
        super().__init__(
            f"chunk of parents {parents.start}-{parents.stop - 1} (of {nparents}) failed, "
            f"no array was changed: {type(cause).__name__}: {cause}"
        )
        self.parents = parents
        self.chunk_traceback = "".join(traceback.format_exception(cause))


class ClusterError(ChunkError):
    """The Dask client or its scheduler cannot run the call (closed, or not reachable); no array
    was changed. ``parents`` is every parent of the call."""

    def __init__(self, nparents: int, problem: str):
        RuntimeError.__init__(self, f"the Dask cluster cannot run the chunks, no array was "
                                    f"changed: {problem}")
        self.parents = range(nparents)
        self.chunk_traceback = ""


_STATUS = {None: "not a Dask client", "closed": "the client is closed",
           "closing": "the client is closed",
           "connecting": "the client has lost its scheduler (it is trying to reconnect)"}

# How long a chunk may wait without news before the client's connection is looked at again.
_POLL_SECONDS = 1.0


def _drop_frames(error: BaseException) -> BaseException:
    """``error`` and the exceptions it chains without their tracebacks: the frames of this
    module hold the caller's arrays and the chunks' results."""
    seen, pending = set(), [error]
    while pending:
        linked = pending.pop()
        if linked is None or id(linked) in seen:
            continue
        seen.add(id(linked))
        linked.__traceback__ = None
        pending += [linked.__cause__, linked.__context__]
    return error


def _check_options(chunk_parents, max_chunk_bytes, task_threads) -> None:
    for name, value, least in (("chunk_parents", chunk_parents, 1),
                               ("max_chunk_bytes", max_chunk_bytes, 1),
                               ("task_threads", task_threads, 1)):
        if value is None and name in ("chunk_parents", "task_threads"):
            continue
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer of at least {least}, got {value!r}")


def _aligned(array: np.ndarray) -> bool:
    """The native memory check: the data and every stride of a longer axis are aligned."""
    alignment = array.dtype.alignment
    if array.__array_interface__["data"][0] % alignment:
        return False
    return all(extent <= 1 or stride % alignment == 0
               for extent, stride in zip(array.shape, array.strides))


def _no_action(layout: Layout, arguments: dict[str, Any]) -> bool:
    return bool(layout.observation) and arguments["action_offsets"] is None


def _validate(record: Driver, arguments: dict[str, Any]) -> None:
    """Run the driver's own validation without letting it compute.

    The drivers check everything (binding, element types, shapes, contents, and last the memory
    of every array in parameter order: alignment, then writability of the arrays they write)
    before they write anything. Given a read-only view in place of the last array it writes, the
    driver therefore raises either the caller's first fault, exactly as a direct call would, or
    that view's writability error; then only the alignment of the arrays after it is left.
    """
    layout = record.layout
    # Without an action stream the observation arrays take no part, not even in the memory check.
    ignored = layout.observation if _no_action(layout, arguments) else ()
    probe = [name for name in layout.written
             if isinstance(arguments[name], np.ndarray) and name not in ignored][-1]
    view = arguments[probe].view()
    view.flags.writeable = False
    try:
        record.function(pelorine)(**{**arguments, probe: view})
    except ValueError as error:
        if str(error) != f"{probe} must be writable" or not arguments[probe].flags.writeable:
            raise
    else:  # pragma: no cover - the driver checks the memory of every array it writes
        raise AssertionError(f"{record.export} accepted a read-only {probe}")
    names = list(arguments)
    for name in names[names.index(probe) + 1:]:
        array = arguments[name]
        if isinstance(array, np.ndarray) and name not in ignored and not _aligned(array):
            raise ValueError(f"{name} must be aligned")


@dataclass
class _Split:
    """How one call is cut: the chunks' parent ranges and each array's part in them."""

    nspins: int
    nparents: int
    spins_per_parent: int
    axes: dict[str, tuple[int, int]]  # split array -> (axis, units of the axis per parent)
    placeholders: dict[str, np.ndarray]  # spin arrays the block never reads by spin
    shared: dict[str, np.ndarray]
    constants: dict[str, Any]  # scalars and absent arrays
    written: tuple[str, ...]
    # Spin arrays the same for every spin (a zero stride along the spin axis): shared as one
    # spin's values and broadcast again over each chunk's spins.
    broadcasts: dict[str, int] = dataclasses.field(default_factory=dict)

    def chunk(self, arguments: dict[str, Any], parents: range) -> dict[str, Any]:
        """The caller's slices for ``parents``: views, copied only when sent or run."""
        return {name: arguments[name][self.index(name, parents)] for name in self.axes} | \
            self.placeholders

    def index(self, name: str, parents: range) -> tuple[slice, ...]:
        axis, per_parent = self.axes[name]
        return (slice(None),) * axis + (slice(parents.start * per_parent,
                                              parents.stop * per_parent),)

    def parent_bytes(self, arguments: dict[str, Any]) -> int:
        """Bytes of one parent's slices, the arrays the driver writes counted twice."""
        total = 0
        for name, (axis, per_parent) in self.axes.items():
            array = arguments[name]
            bytes_per_unit = array.itemsize * math.prod(
                extent for i, extent in enumerate(array.shape) if i != axis)
            total += bytes_per_unit * per_parent * (2 if name in self.written else 1)
        return total


def _split(layout: Layout, arguments: dict[str, Any]) -> _Split:
    nspins = arguments["state"].shape[1]
    if _no_action(layout, arguments):
        # No-action mode: one spin per parent, and the observation arrays take no part.
        spins_per_parent, nparents = 1, nspins
        arguments = {name: None if name in layout.observation else value
                     for name, value in arguments.items()}
    else:
        spins_per_parent = int(arguments["spins_per_parent"])
        nparents = arguments["parent_species_signal"].shape[0]
    axes, placeholders, shared, constants, broadcasts = {}, {}, {}, {}, {}
    for name, value in arguments.items():
        if not isinstance(value, np.ndarray):
            constants[name] = value
        elif name in layout.parent_axes:
            axes[name] = (layout.parent_axes[name], 1)
        elif name in layout.spin_axes:
            axis = layout.spin_axes[name]
            if value.shape[axis] == nspins and nspins > 1 and value.strides[axis] == 0 \
                    and name not in layout.written:
                shared[name] = np.ascontiguousarray(value[(slice(None),) * axis + (slice(0, 1),)])
                broadcasts[name] = axis
            elif value.shape[axis] == nspins:
                axes[name] = (axis, spins_per_parent)
            elif name in RF_TABLES:
                shared[name] = value  # one rotation for every spin
            else:
                # Validation passed, so the block never reads this array by spin (no ADC or no
                # checkpoint action): the chunks get an empty stand-in of its kind.
                shape = list(value.shape)
                shape[axis] = 0
                placeholders[name] = np.empty(shape, value.dtype)
        else:
            shared[name] = value
    written = tuple(name for name in layout.written if name in axes or name in placeholders)
    return _Split(nspins, nparents, spins_per_parent, axes, placeholders, shared, constants,
                  written, broadcasts)


def _parent_ranges(nparents: int, size: int, smallest: int) -> list[range]:
    """Consecutive ranges of ``size`` parents; a shorter last range below ``smallest`` joins
    the one before it."""
    size = max(size, smallest)
    ranges = [range(start, min(start + size, nparents)) for start in range(0, nparents, size)]
    if len(ranges) > 1 and len(ranges[-1]) < smallest:
        ranges[-2:] = [range(ranges[-2].start, nparents)]
    return ranges


def _aligned_copy(array: np.ndarray) -> np.ndarray:
    """``array``, or an aligned copy: arrays unpacked from a message may start anywhere."""
    return array if _aligned(array) else np.array(array)


def _run_chunk(driver, shared: dict, chunk: dict, constants: dict, written: tuple[str, ...],
               broadcasts: dict[str, int] | None = None):
    """Run one chunk and return the arrays the driver wrote.

    Written arrays are copied first, so that a task run again after a lost worker starts from
    the values it was given. ``broadcasts`` names the shared one-spin arrays to broadcast over
    the chunk's spins, with their spin axis.
    """
    arguments = {name: _aligned_copy(value) for name, value in shared.items()}
    for name, value in chunk.items():
        arguments[name] = np.array(value, order="C") if name in written \
            else _aligned_copy(np.ascontiguousarray(value))
    nspins = arguments["state"].shape[1]
    for name, axis in (broadcasts or {}).items():
        shape = list(arguments[name].shape)
        shape[axis] = nspins
        arguments[name] = np.broadcast_to(arguments[name], shape)
    arguments.update(constants)
    function = getattr(pelorine, driver) if isinstance(driver, str) else driver
    function(**arguments)
    return {name: arguments[name] for name in written}


class _LocalThreads:
    """Chunks on a local thread pool; the driver releases the interpreter lock while it runs."""

    lost = ()

    def __init__(self, task_threads: int):
        self.slots = max(1, (os.cpu_count() or 1) // task_threads)
        self.pool = concurrent.futures.ThreadPoolExecutor(self.slots,
                                                          thread_name_prefix="korvel-chunk")

    def share(self, shared: dict) -> None:
        self.shared = shared

    def submit(self, driver, chunk, constants, written, broadcasts):
        return self.pool.submit(_run_chunk, driver, self.shared, chunk, constants, written,
                                broadcasts)

    @staticmethod
    def wait(handles):
        return concurrent.futures.wait(handles, return_when="FIRST_COMPLETED").done

    @staticmethod
    def result(handle):
        return handle.result()

    def close(self, running) -> None:
        # Wait for running chunks: none may go on reading the caller's arrays after the call.
        self.pool.shutdown(wait=True, cancel_futures=True)


class _DaskClient:
    """Chunks as tasks of a Dask client: shared tables on every worker, a chunk's slices in its
    task."""

    def __init__(self, client, nparents: int):
        from distributed import wait
        from distributed.client import FutureCancelledError, FuturesCancelledError

        self.client, self._wait, self._cancelled = client, wait, FuturesCancelledError
        self.nparents = nparents
        self.lost = (FutureCancelledError,)  # every copy of the shared tables went: send again
        self.made: list = []  # every future of the call, cancelled (released) at its end
        self.check()
        try:
            self.slots = max(1, sum(client.nthreads().values()))
        except (OSError, AttributeError, RuntimeError, TimeoutError) as error:
            _drop_frames(error)
            raise ClusterError(nparents, f"{type(error).__name__}: {error}") from None

    def check(self) -> None:
        """A closed client or a lost scheduler: ClusterError at once, not after timeouts."""
        status = getattr(self.client, "status", None)
        if status != "running":
            raise ClusterError(self.nparents, _STATUS.get(status, f"the client is {status}"))

    def share(self, shared: dict) -> None:
        self.shared_data = shared
        for attempt in range(_RESUBMISSIONS + 1):
            try:
                [self.shared] = self.client.scatter([shared], broadcast=True, hash=False)
                break
            except OSError as error:  # a worker went while it was being sent the tables
                _drop_frames(error)
                self.check()
                if attempt == _RESUBMISSIONS:
                    raise ClusterError(self.nparents, f"the shared tables could not be sent: "
                                                      f"{type(error).__name__}: {error}") from None
                time.sleep(0.1 * (attempt + 1))
        self.made.append(self.shared)

    def submit(self, driver, chunk, constants, written, broadcasts):
        self.check()
        if self.shared.status != "finished":  # every copy was lost with its worker
            self.share(self.shared_data)
        # Copies, never views of the caller's arrays: the client may keep a sent task's
        # buffers until its own reference cycles are collected.
        contiguous = {name: np.array(value, order="C") for name, value in chunk.items()}
        # The slices travel inside the task, so that Dask itself can run it again elsewhere
        # when its worker is lost (scattered data would be lost with that worker).
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message="Sending large graph")
            future = self.client.submit(_run_chunk, driver, self.shared, contiguous,
                                        constants, written, broadcasts, pure=False)
        self.made.append(future)
        return future

    def wait(self, handles):
        while True:
            try:
                self._wait(handles, timeout=_POLL_SECONDS, return_when="FIRST_COMPLETED")
            except self._cancelled as error:  # reported by each cancelled future's result()
                _drop_frames(error)
            except TimeoutError as error:
                # Dask keeps the exception in a reference cycle: it must not keep our frames.
                _drop_frames(error)
                self.check()
                continue
            return [future for future in handles if future.done()]

    def result(self, future):
        # Straight from the worker that holds it, not through the scheduler; then let it go,
        # so that no worker keeps the results once gathered.
        try:
            return self.client.gather(future, direct=True)
        finally:
            future.release()

    def close(self, running) -> None:
        made, self.made = self.made, []
        self.shared = self.shared_data = None
        if made and getattr(self.client, "status", None) == "running":
            # One call that the scheduler answers: every key of the call is forgotten, on the
            # workers too, before the call returns.
            with contextlib.suppress(Exception):
                self.client.cancel(made)
        for future in made:
            with contextlib.suppress(Exception):
                future.release()


def _run_block(record: Driver, arguments: dict[str, Any], client, chunk_parents,
               max_chunk_bytes, task_threads, progress: Callable[[int, int], None] | None,
               driver) -> None:
    _check_options(chunk_parents, max_chunk_bytes, task_threads)
    _validate(record, arguments)
    split = _split(record.layout, arguments)
    if split.nparents == 0:
        return
    spatial_rf = arguments["rf_axis_x"].shape[1] != 1
    # A chunk of one spin would make one-rotation-per-spin tables one column wide, which the
    # drivers read as one rotation for all: such chunks take two parents.
    smallest = 2 if spatial_rf and split.spins_per_parent == 1 else 1
    parent_bytes = split.parent_bytes(arguments)
    if parent_bytes * smallest > max_chunk_bytes:
        raise ValueError(f"a chunk of {smallest} parent(s) needs {parent_bytes * smallest} "
                         f"bytes, more than max_chunk_bytes ({max_chunk_bytes})")
    threads = int(arguments["num_threads"]) if task_threads is None else int(task_threads)
    split.constants["num_threads"] = threads
    runner = _LocalThreads(threads) if client is None else _DaskClient(client, split.nparents)
    if chunk_parents is None:
        chunk_parents = -(-split.nparents // (_CHUNKS_PER_SLOT * runner.slots))
    chunk_parents = min(int(chunk_parents), max_chunk_bytes // parent_bytes)
    ranges = _parent_ranges(split.nparents, chunk_parents, smallest)
    results = _run_chunks(runner, split, arguments, ranges,
                          record.export if driver is None else driver, progress)
    # Every array or none: no signal may stop the copies half-way.
    with deferred_signals():
        for parents, written in zip(ranges, results):
            for name, values in written.items():
                if name in split.axes:
                    arguments[name][split.index(name, parents)] = values


def _run_chunks(runner, split: _Split, arguments, ranges, driver, progress) -> list[dict]:
    """Every chunk's results, in order. At most two chunks per task slot are in flight, and a
    finished chunk's task is let go at once, so that no worker keeps results once gathered."""
    results: dict[int, dict[str, np.ndarray]] = {}
    waiting = collections.deque(range(len(ranges)))
    attempts: collections.Counter = collections.Counter()
    running: dict[Any, int] = {}
    try:
        # Sending and starting hold signals back, so that Ctrl-C cannot leave a future or a
        # thread that the runner does not know of.
        with deferred_signals():
            runner.share(split.shared)
        while waiting or running:
            while waiting and len(running) < _IN_FLIGHT_PER_SLOT * runner.slots:
                i = waiting.popleft()
                chunk = split.chunk(arguments, ranges[i])
                with deferred_signals():
                    running[runner.submit(driver, chunk, split.constants, split.written,
                                          split.broadcasts)] = i
            for handle in runner.wait(list(running)):
                i = running.pop(handle)
                try:
                    results[i] = runner.result(handle)
                except (ClusterError, KeyboardInterrupt):
                    raise
                except runner.lost as error:
                    _drop_frames(error)
                    attempts[i] += 1
                    if attempts[i] > _RESUBMISSIONS:
                        raise ChunkError(ranges[i], split.nparents, error) from error
                    waiting.appendleft(i)
                    continue
                except Exception as error:
                    raise ChunkError(ranges[i], split.nparents, error) from error
                finally:
                    del handle
                if progress is not None:
                    progress(len(results), len(ranges))
    except ChunkError:
        raise
    except (OSError, AttributeError, RuntimeError, TimeoutError) as error:
        _drop_frames(error)
        if isinstance(runner, _DaskClient) and runner.client.status != "running":
            raise ClusterError(split.nparents, f"{_STATUS.get(runner.client.status)}: "
                                               f"{type(error).__name__}: {error}") from None
        raise
    finally:
        # Running chunks end (or are cancelled) before the call does, even under Ctrl-C.
        with deferred_signals():
            runner.close(list(running))
            running.clear()
    return [results.pop(i) for i in range(len(ranges))]


_OPTIONS = ("client", "chunk_parents", "max_chunk_bytes", "task_threads", "progress", "driver")


def chunked(record: Driver) -> Callable[..., None]:
    """The driver of ``record`` run in chunks of parents: its own parameters (as in
    ``korvel.reference``) followed by the keyword-only options of this module."""
    parameters = list(inspect.signature(record.function(reference)).parameters.values())
    defaults = dict(client=None, chunk_parents=None, max_chunk_bytes=DEFAULT_MAX_CHUNK_BYTES,
                    task_threads=None, progress=None, driver=None)
    parameters += [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=defaults[name])
                   for name in _OPTIONS]
    signature = inspect.Signature(parameters)

    def run(*args, **kwargs) -> None:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        arguments = dict(bound.arguments)
        options = {name: arguments.pop(name) for name in _OPTIONS}
        try:
            _run_block(record, arguments, **options)
            return
        except BaseException as error:  # noqa: B036 - re-raised below, without our frames
            failure = _drop_frames(error)
        # Nothing of the call may outlive it through the exception: not its frames (cleared
        # above), not this one's names.
        del args, kwargs, bound, arguments, options
        try:
            raise failure
        finally:
            del failure

    run.__name__ = run.__qualname__ = record.export
    run.__module__ = __name__
    run.__signature__ = signature  # type: ignore[attr-defined]
    run.__doc__ = (f"{record.function(reference).__doc__.splitlines()[0].rstrip('.')}, "
                   f"in chunks of parents ({record.description}).")
    return run


run_dynamic_plan_block_no_inflow = chunked(RECORDS[TWO_POOL])
run_dynamic_plan_block_multi_pool = chunked(RECORDS[MULTI_POOL])
apply_dynamic_rf_block_with_concentration_inflow = chunked(RECORDS[SOURCE_INTERVAL])
