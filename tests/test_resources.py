"""Resource faults: a worker thread that cannot start, and the process surviving it."""

import re
import subprocess
import sys
import textwrap

import pytest

PER_CHANNEL_TYPES = [
    "gain",
    "clip",
    "distortion",
    "tremolo",
    "lowpass",
    "peak_eq",
    "high_shelf",
    "delay",
    "compressor",
    "upward_compression",
    "limiter",
    "expander",
    "noise_gate",
    "deesser",
    "dynamic_eq",
    "transient_shaper",
]

# Runs in a child: with the address space capped just above what the process already maps,
# a worker's stack cannot be mapped, so its start fails. Root ignores the thread-count limit,
# which is why the address space is what is capped here.
CHILD = textwrap.dedent("""
    import os, resource, sys, time
    import numpy as np
    from kavri import process_pipeline

    kind = sys.argv[1]
    audio = np.random.default_rng(0).uniform(-1, 1, (64, 4)).astype(np.float32)
    before_input = audio.copy()
    expected = process_pipeline(audio, 48000, [{"type": "gain", "db": 1.0}, {"type": kind}])

    def mapped_bytes():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    threads_before = len(os.listdir("/proc/self/task"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + (2 << 20), hard))
    try:
        process_pipeline(audio, 48000, [{"type": "gain", "db": 1.0}, {"type": kind}], workers=4)
        outcome = "returned"
    except RuntimeError as error:
        outcome = "RuntimeError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert np.array_equal(audio, before_input)
    # A joined worker's task can stay listed for a moment after the join returns.
    deadline = time.monotonic() + 5.0
    while len(os.listdir("/proc/self/task")) != threads_before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(os.listdir("/proc/self/task")) == threads_before, "a worker was left running"
    again = process_pipeline(audio, 48000, [{"type": "gain", "db": 1.0}, {"type": kind}], workers=4)
    assert np.array_equal(again, expected, equal_nan=True)
    print(outcome)
""")


@pytest.mark.parametrize("kind", PER_CHANNEL_TYPES)
def test_thread_start_failure_raises_and_leaves_nothing_running(kind):
    result = subprocess.run(
        [sys.executable, "-c", CHILD, kind], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RuntimeError"


# Runs in a child: daemon threads sit in calls (on the calling thread and with workers, with a
# long state to free) while the main thread ends the interpreter. Re-taking the interpreter
# lock during shutdown ends such a thread by unwinding its stack from inside the call.
DAEMONS = textwrap.dedent("""
    import sys, threading
    import numpy as np
    from kavri import process_batch, process_pipeline

    audio = np.zeros((48000, 2), np.float32)
    # Arguments converted on the way in (float64, a list of items): the copies were freed
    # without the lock as the stack unwound, a segmentation fault. (Once a sub-interpreter
    # has existed, the interpreter says every thread holds the lock: not to be asked.)
    import _xxsubinterpreters
    _xxsubinterpreters.destroy(_xxsubinterpreters.create())
    doubles = np.zeros((10_000, 2))
    chains = [
        ([{"type": "lowpass"}], 1),
        ([{"type": "delay", "delay_ms": 2000}, {"type": "compressor"}], 2),
        ([{"type": "gain"}, {"type": "no such effect"}], 1),
        ([{"type": "gain", "db": -3}], 0),
        ([{"type": "gain", "db": -3}], -1),
    ]
    running = [threading.Event() for _ in chains]

    def loop(chain, workers, started):
        while True:
            try:
                if workers == 0:
                    process_pipeline(doubles, 48000, chain)
                elif workers == -1:
                    process_batch([audio[:10_000]] * 8, 48000, chain)
                else:
                    process_pipeline(audio, 48000, chain, workers=workers)
            except RuntimeError:
                pass
            started.set()

    for (chain, workers), started in zip(chains, running):
        threading.Thread(target=loop, args=(chain, workers, started), daemon=True).start()
    for started in running:
        started.wait()
    print("exiting")
""")


# The same with the steps that call other libraries: soxr ended mid-call aborted the process
# ("terminate called without an active exception"), and a codec's libsndfile, unloaded
# under a daemon thread still inside it, crashed it (SIGSEGV).
DAEMON_STEPS = textwrap.dedent("""
    import threading
    import numpy as np
    from kavri import process

    audio = np.zeros((48000, 2), np.float32)
    chains = [
        [{"type": "codec", "format": "mp3"}],
        [{"type": "resample", "rate_hz": 48000}],
        [{"type": "speed", "factor": 1.1}],
    ]
    running = [threading.Event() for _ in chains]

    def loop(chain, started):
        while True:
            process(audio, 44100, chain)
            started.set()

    for chain, started in zip(chains, running):
        threading.Thread(target=loop, args=(chain, started), daemon=True).start()
    for started in running:
        started.wait()
    print("exiting")
""")


# An exit handler that waits for a daemon thread's last call: the call is answered (a
# daemon thread that only waited once the pool was shut down hung such a handler).
DAEMON_FLUSHED = textwrap.dedent("""
    import atexit, queue, threading
    import numpy as np
    from kavri import process

    items = queue.Queue()

    def worker():
        while (item := items.get()) is not None:
            print("flushed", process(item, 48000, [{"type": "resample", "rate_hz": 16000}]).shape)

    worker_thread = threading.Thread(target=worker, daemon=True)
    worker_thread.start()

    @atexit.register
    def flush():
        items.put(np.zeros((4800, 2), np.float32))
        items.put(None)
        worker_thread.join()

    print("exiting")
""")


@pytest.mark.slow
@pytest.mark.parametrize(
    ("script", "said"),
    [
        (DAEMONS, "exiting\n"),
        (DAEMON_STEPS, "exiting\n"),
        (DAEMON_FLUSHED, "exiting\nflushed (1600, 2)\n"),
    ],
    ids=["engine", "steps", "flushed"],
)
def test_interpreter_exits_cleanly_while_daemon_threads_are_inside_calls(script, said):
    for _ in range(6):
        result = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
        )
        assert (result.returncode, result.stdout, result.stderr) == (0, said, "")


# Runs in a child: the address space capped a little above what the process maps, so that an
# impulse response's spectra cannot be had although the machine's memory could hold them.
# Right after the warm-up the memory guard still trusts its reading of a moment before (a
# small need against the whole machine) and the allocation itself is refused; a second later
# the guard reads the figures again, the address-space limit among them, and refuses first.
REFUSED = textwrap.dedent("""
    import os, resource, sys, time
    from kavri.cli import main

    def mapped_bytes():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    folder, pause = sys.argv[1], float(sys.argv[2])
    # The same command with a short response first, so that every module is loaded.
    run = ["process", f"{folder}/in.wav", f"{folder}/warm.wav", "--quiet", "--effect"]
    warmed = time.monotonic()
    assert main([*run, f"convolution:ir={folder}/short.wav"]) == 0
    os.remove(f"{folder}/warm.wav")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + (24 << 20), hard))
    time.sleep(pause)
    # How old the guard's reading may be (at most), for the parent to judge the outcome by.
    print("reading aged", time.monotonic() - warmed, flush=True)
    sys.exit(main(["process", f"{folder}/in.wav", f"{folder}/out.wav", "--quiet",
                   "--effect", f"convolution:ir={folder}/room.wav"]))
""")


@pytest.mark.parametrize(
    "pause, said",
    [(0.0, r"out of memory \(the system refused an allocation\)"), (1.2, r"needs [\d.]+ MiB")],
)
def test_an_address_space_limit_ends_the_command_on_one_line(tmp_path, pause, said):
    import numpy as np
    import soundfile as sf

    rng = np.random.default_rng(0)
    sf.write(tmp_path / "in.wav", 0.1 * rng.standard_normal((48_000, 2)), 48_000)
    sf.write(tmp_path / "room.wav", 0.01 * rng.standard_normal((960_000, 2)), 48_000)
    sf.write(tmp_path / "short.wav", 0.01 * rng.standard_normal((500, 2)), 48_000)
    for _ in range(3):
        result = subprocess.run(
            [sys.executable, "-c", REFUSED, str(tmp_path), str(pause)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        # Without a pause the guard must still trust its reading of the warm-up: on a machine
        # so loaded that the reading may have aged past its second, the child runs again.
        aged = re.search(r"reading aged (\S+)", result.stdout)
        if pause or aged is None or float(aged[1]) < 0.8:
            break
    else:
        pytest.skip("the machine was too loaded for the guard's reading to stay current")
    assert result.returncode == 1, result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kavri: error:"), result.stderr
    assert re.search(said, lines[0]) and "std::" not in lines[0], lines[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav", "room.wav", "short.wav"]


@pytest.mark.slow
def test_noise_read_part_way_from_a_decoded_file_leaves_nothing_behind(tmp_path):
    # Each excerpt of an MP3 noise left FFmpeg's packet state behind: some 300 bytes a call
    # for good, 300 MB over a million training clips.
    import numpy as np

    import kavri

    noise = np.random.default_rng(1).uniform(-0.3, 0.3, (80_000, 1)).astype(np.float32)
    kavri.write(tmp_path / "noise.mp3", noise, 16_000)
    script = textwrap.dedent("""
        import sys, numpy as np, kavri
        audio = np.zeros((4000, 1), np.float32)
        def rss():
            return int(open("/proc/self/status").read().split("VmRSS:")[1].split()[0])
        def calls(count):
            for i in range(count):
                spec = {"type": "background_noise", "path": sys.argv[1], "offset_frames": i}
                kavri.process(audio, 16000, [spec])
        calls(300)
        before = rss()
        calls(6000)
        print(rss() - before)
    """)
    result = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "noise.mp3")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 800  # KiB; it had grown by some 1,800
