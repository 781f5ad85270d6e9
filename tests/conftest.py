"""What the test files share: the ``slow`` marker, the command line run as users run it,
and one Dask cluster for the tests that need a real one."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

# How long the Dask cluster may take to start and connect on a loaded machine.
DASK_START_SECONDS = 120


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "slow: takes a second or more (a child process, a cluster, valgrind); "
        "left out of `make check`, run by `make test`",
    )


@pytest.fixture
def threads_settled() -> Callable[[int | None], int]:
    """This process's thread count once it is the count given (or, with none, once it has
    stopped changing), or after five seconds: a joined thread's task can stay listed for a
    moment after the join returns (longer under the sanitizers), so a count read at once may
    still hold it."""

    def count() -> int:
        return len(os.listdir("/proc/self/task"))

    def settled(expected: int | None = None) -> int:
        # Without an expected count, the count once it has held for 0.1 s: a baseline that
        # an earlier test's joined thread does not leave one too high.
        deadline = time.monotonic() + 5.0
        last, since = count(), time.monotonic()
        while time.monotonic() < deadline:
            now = count()
            if expected is not None and now == expected:
                break
            if now != last:
                last, since = now, time.monotonic()
            elif expected is None and time.monotonic() - since >= 0.1:
                break
            time.sleep(0.01)
        return count()

    return settled


@pytest.fixture
def run_kavri() -> Callable[..., subprocess.CompletedProcess[str]]:
    """Runs ``python -m kavri ARGS`` in ``cwd`` as a user would, output captured as text."""

    def run(*args: Any, cwd: Any, **options: Any) -> subprocess.CompletedProcess[str]:
        options.setdefault("capture_output", True)
        return subprocess.run(
            [sys.executable, "-m", "kavri", *args], cwd=cwd, text=True, timeout=300, **options
        )

    return run


@pytest.fixture
def handling() -> Callable[[subprocess.Popen[Any], int], None]:
    """Waits until a child catches a signal (its handler is in place, read from the kernel's
    mask of caught signals), so that a test's signal meets the program, not the interpreter
    still starting on a loaded machine."""

    def wait(child: subprocess.Popen[Any], signum: int) -> None:
        deadline = time.monotonic() + 120
        while True:
            assert child.poll() is None, "the child ended before it caught the signal"
            with open(f"/proc/{child.pid}/status") as status:
                caught = next(line for line in status if line.startswith("SigCgt:"))
            if int(caught.split()[1], 16) >> (signum - 1) & 1:
                return
            assert time.monotonic() < deadline, "the child never caught the signal"
            time.sleep(0.01)

    return wait


@pytest.fixture
def ticks_beside() -> Callable[[Callable[[], object]], int]:
    """Runs a call while another Python thread ticks every millisecond, and returns how many
    ticks fell in the middle half of the call: a call that held the interpreter lock
    throughout would leave its middle without one."""

    def run(call: Callable[[], object]) -> int:
        stamps: list[float] = []
        stop = threading.Event()

        def ticker() -> None:
            while not stop.is_set():
                stamps.append(time.perf_counter())
                time.sleep(0.001)

        thread = threading.Thread(target=ticker)
        thread.start()
        time.sleep(0.01)
        start = time.perf_counter()
        try:
            call()
        finally:
            end = time.perf_counter()
            stop.set()
            thread.join()
        quarter = 0.25 * (end - start)
        return sum(start + quarter < t < end - quarter for t in stamps)

    return run


@pytest.fixture(scope="session")
def dask_client() -> Iterator[Any]:
    """A client of a local Dask cluster of one worker process with two threads, started
    once for the session. Under load a cluster can take long to come up: it gets
    DASK_START_SECONDS to start and connect, and the tests are skipped, saying so, if it
    does not."""
    distributed = pytest.importorskip("distributed")
    import dask

    timeout = f"{DASK_START_SECONDS}s"
    with dask.config.set(
        {"distributed.comm.timeouts.connect": timeout, "distributed.comm.timeouts.tcp": timeout}
    ):
        try:
            cluster = distributed.LocalCluster(
                n_workers=1,
                threads_per_worker=2,
                processes=True,
                host="127.0.0.1",
                dashboard_address=":0",
            )
        except (OSError, TimeoutError) as error:
            pytest.skip(f"the Dask cluster did not start within {DASK_START_SECONDS} s: {error}")
        with cluster, distributed.Client(cluster, timeout=DASK_START_SECONDS) as client:
            client.wait_for_workers(1, timeout=DASK_START_SECONDS)
            yield client
