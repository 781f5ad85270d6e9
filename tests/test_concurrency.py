"""Many Python threads calling at once: exact serial results, and the lock released while a
call runs."""

import os
import signal
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import soundfile as sf

from kavri import process_pipeline

CHAINS = [
    [{"type": "gain", "db": 3.0}, {"type": "distortion"}],
    [{"type": "lowpass", "frequency_hz": 900.0, "stages": 2}, {"type": "compressor"}],
    [{"type": "chorus"}, {"type": "limiter"}],
    [{"type": "delay", "delay_ms": 3.0}, {"type": "stereo_width", "width": 1.5}],
    [{"type": "dynamic_eq"}, {"type": "phaser"}, {"type": "transient_shaper"}],
]


def test_concurrent_calls_match_serial_results():
    rng = np.random.default_rng(5)
    jobs = [
        (
            rng.uniform(-1, 1, (3000, 1 + k % 4)).astype(np.float32),
            CHAINS[k % len(CHAINS)],
            1 + k % 3,
        )
        for k in range(24)
    ]
    serial = [process_pipeline(audio, 44100, chain, 512) for audio, chain, _ in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        futures = [
            pool.submit(process_pipeline, audio, 44100, chain, 512, workers)
            for audio, chain, workers in jobs
        ]
        results = [f.result() for f in futures]
    for got, expected in zip(results, serial, strict=True):
        assert np.array_equal(got, expected)


def test_other_threads_run_while_a_call_runs(ticks_beside):
    audio = np.random.default_rng(6).uniform(-1, 1, (1_500_000, 2)).astype(np.float32)
    chain = [{"type": "distortion"}] * 6
    assert ticks_beside(lambda: process_pipeline(audio, 48000, chain)) >= 3


def _in_a_forked_child(work, seconds=60):
    """Whether ``work()`` returns True in a child forked now, within ``seconds``."""
    import os
    import time
    import warnings

    with warnings.catch_warnings():  # forking beside threads is the point
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            os._exit(0 if work() else 1)
        finally:
            os._exit(2)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status) == 0
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return False


def test_a_child_forked_while_other_threads_hold_kavri_s_locks_runs(tmp_path):
    # A DataLoader worker forked while a thread was in a convolution hung on its first
    # call; the folder lock of a batch stayed with forked children, so that later runs
    # into the folder were refused as long as they lived.
    import fcntl
    import os
    import threading
    import warnings

    import kavri
    from kavri.runs.record import _HELD, exclusive_run
    from kavri.steps import rooms

    response = np.eye(1, 64, 3, dtype=np.float32).T
    audio = np.ones((256, 1), np.float32)
    held, done = threading.Event(), threading.Event()

    def hold():
        # soundfile opens every file under a lock of its own: a child forked while a thread
        # was opening one (a read, a codec's round trip) hung on its first file.
        with rooms._SHARED._lock, sf.SoundFile._sf_error_lock:
            held.set()
            done.wait()

    def in_child():
        convolved = kavri.process(audio, 48_000, [{"type": "convolution", "ir": response}])
        kavri.write(tmp_path / "child.wav", audio, 48_000)
        return convolved[3] > 0.99 and np.array_equal(
            kavri.read(tmp_path / "child.wav").audio, audio
        )

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait()
    try:
        convolved = _in_a_forked_child(in_child, seconds=30)
    finally:
        done.set()
        holder.join()
    assert convolved
    read_end, write_end = os.pipe()
    with exclusive_run(tmp_path):
        assert _in_a_forked_child(lambda: not _HELD)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # a worker that lives on after the run
            os.read(read_end, 1)
            os._exit(0)
    descriptor = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)  # free, the child still there
    finally:
        os.close(descriptor)
        os.write(write_end, b"x")
        os.waitpid(pid, 0)
        os.close(read_end)
        os.close(write_end)


def test_a_stream_a_fork_cut_off_in_a_call_refuses_until_reset_then_runs():
    # A child forked while another thread was in a stream's call inherited the stream marked
    # busy by a thread it does not have: every call, reset() too, said "in use by another
    # thread", for good.
    import threading
    import warnings

    import kavri

    rng = np.random.default_rng(8)
    audio = rng.uniform(-0.5, 0.5, (1 << 20, 2)).astype(np.float32)
    response = rng.uniform(-0.1, 0.1, (2000, 2)).astype(np.float32)
    chain = [*[{"type": "compressor"}] * 6, {"type": "convolution", "ir": response}]
    head = audio[:5000]
    expected = kavri.process(head, 48_000, chain)
    stream = kavri.Stream(chain, 48_000, 2)
    stop = threading.Event()

    def feed():
        while not stop.is_set():
            stream.process(audio)

    def in_child():
        if not stream._busy.locked():
            return 3  # forked between two calls: tried again
        try:
            stream.process(head)
            return 1
        except RuntimeError as error:
            if "reset() it" not in str(error):
                return 1
        stream.reset()
        out = np.concatenate([stream.process(head), stream.flush()])
        return 0 if np.array_equal(out, expected) else 1

    feeder = threading.Thread(target=feed)
    feeder.start()
    codes = []
    try:
        while len(codes) < 5 and 0 not in codes:
            with warnings.catch_warnings():  # forking beside threads is the point
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
            if pid == 0:
                signal.alarm(60)
                try:
                    os._exit(in_child())
                finally:
                    os._exit(2)
            codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    finally:
        stop.set()
        feeder.join()
    assert codes[-1] == 0, codes
