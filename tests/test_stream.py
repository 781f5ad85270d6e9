"""Streams: any split of a signal into chunks gives the whole-buffer result bit for bit; flush,
reset, argument checks, and threads."""

import copy
import os
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kavri
from kavri import ChainError, Stream, process_pipeline
from kavri._kavri_stream import Stream as NativeStream
from kavri._kavri_stream import useful_workers
from kavri.catalogue import ENGINE_TYPES


def effect_types():
    """The engine's effect types (the steps are tested in test_steps.py)."""
    return list(ENGINE_TYPES)


RATE = 8000

# Settings that make each effect audibly busy within a short signal at 8 kHz (short delays,
# fast sweeps, thresholds the test signal crosses); the other keys keep their defaults.
BUSY = {
    "gain": {"db": 4.5},
    "delay": {"delay_ms": 11.0, "feedback": 0.6},
    "ping_pong_delay": {"delay_ms": 7.0},
    "auto_pan": {"rate_hz": 7.0},
    "pan": {"position": -0.4},
    "stereo_width": {"width": 1.7},
    "tremolo": {"rate_hz": 9.0},
    "chorus": {"rate_hz": 3.0},
    "flanger": {"rate_hz": 4.0},
    "phaser": {"rate_hz": 3.0},
    "rotary_speaker": {"rate_hz": 6.0},
    "peak_eq": {"gain_db": 6.0},
    "low_shelf": {"gain_db": -5.0},
    "high_shelf": {"gain_db": 5.0},
    "deesser": {"frequency_hz": 2500.0},
    "dynamic_eq": {"frequency_hz": 1000.0, "attack_ms": 2.0},
}


def spec(effect_type, **keys):
    return {"type": effect_type, **BUSY.get(effect_type, {}), **keys}


def signal(frames, channels, seed):
    """Noise in bursts from near silence to past full scale, so that every envelope rises
    through its threshold and falls back."""
    rng = np.random.default_rng(seed)
    level = np.repeat(rng.choice([0.001, 0.05, 0.4, 1.6], size=frames // 97 + 1), 97)[:frames]
    return (rng.standard_normal((frames, channels)) * level[:, None]).astype(np.float32)


def cuts(frames, rng):
    """Chunk lengths summing to frames: empty and one-frame chunks among short and long ones."""
    sizes = []
    while sum(sizes) < frames:
        sizes.append(int(rng.choice([0, 1, rng.integers(2, 70), rng.integers(70, 1500)])))
    sizes[-1] -= sum(sizes) - frames
    return sizes


def stream_through(stream, audio, sizes):
    """The chunk outputs and the flush, checking that a chunk never returns more than it may."""
    outputs, start = [], 0
    for size in sizes:
        out = stream.process(audio[start : start + size])
        assert out.dtype == np.float32 and out.shape[1:] == audio.shape[1:]
        outputs.append(out)
        start += size
    outputs.append(stream.flush())
    assert stream.held_frames == 0
    return outputs


SETTINGS = [(1, 1), (7, 2), (64, 3), (2048, 1)]  # (block_size, workers)


@pytest.mark.parametrize("effect_type", effect_types())
def test_every_effect_streams_exactly(effect_type):
    # One, two and three channels take different paths through several effects (fixed-width
    # loops for mono and stereo, the stereo effects' handling of a third channel).
    rng = np.random.default_rng(len(effect_type))
    chain = [spec(effect_type)]
    for channels in (1, 2, 3):
        audio = signal(2600, channels, seed=channels)
        for block_size, workers in SETTINGS:
            whole = process_pipeline(audio, RATE, chain, block_size, workers)
            sizes = cuts(len(audio), rng)
            stream = Stream(chain, RATE, channels, block_size=block_size, workers=workers)
            outputs = stream_through(stream, audio, sizes)
            if effect_type != "dynamic_eq":
                # Every frame leaves with its own chunk.
                assert [len(o) for o in outputs] == sizes + [0]
            assert np.array_equal(np.concatenate(outputs), whole, equal_nan=True), (
                channels,
                block_size,
                workers,
                sizes,
            )


# Settings that take other paths: stage counts beyond the phaser's and the filter cascade's
# fixed-width loops, negative depth and feedback, a one-sample delay, and many channels.
VARIANTS = [
    spec("phaser", stages=7, feedback=-0.9),
    spec("lowpass", stages=5, frequency_hz=700.0),
    spec("high_shelf", stages=2, gain_db=9.0, slope=0.5),
    spec("flanger", depth_ms=-1.5, feedback=-0.95),
    spec("delay", delay_ms=0.125, feedback=1.0),
    spec("ping_pong_delay", delay_ms=0.125, feedback=0.9),
    spec("rotary_speaker", crossover_hz=3900.0, depth=1.0),
    spec("transient_shaper", attack=-1.0, sustain=1.0),
]


@pytest.mark.parametrize("effect", VARIANTS, ids=lambda s: s["type"])
def test_other_paths_stream_exactly(effect):
    rng = np.random.default_rng(3)
    for channels in (1, 2, 5, 9):
        audio = signal(1500, channels, seed=channels)
        whole = process_pipeline(audio, RATE, [effect], 32, 4)
        stream = Stream([effect], RATE, channels, block_size=32, workers=4)
        outputs = stream_through(stream, audio, cuts(len(audio), rng))
        assert np.array_equal(np.concatenate(outputs), whole, equal_nan=True), channels


HELD_CHAINS = [
    [spec("dynamic_eq")],
    # The dynamic EQ in front of effects whose state runs from frame 0 or rings on.
    [
        spec("dynamic_eq"),
        spec("chorus"),
        spec("phaser"),
        spec("delay"),
        spec("auto_pan"),
        spec("rotary_speaker"),
        spec("compressor"),
    ],
    # Two of them, with effects before, between and after.
    [
        spec("tremolo"),
        spec("dynamic_eq"),
        spec("ping_pong_delay"),
        spec("flanger"),
        spec("dynamic_eq", frequency_hz=300.0, cut_db=8.0),
        spec("transient_shaper"),
    ],
    [spec("dynamic_eq"), spec("dynamic_eq", q=4.0), spec("vibrato")],
]


def random_chain(rng):
    types = effect_types()
    chain = [spec(str(rng.choice(types))) for _ in range(rng.integers(2, 6))]
    chain.insert(int(rng.integers(0, len(chain) + 1)), spec("dynamic_eq"))
    return chain


@pytest.mark.parametrize(
    "chain", HELD_CHAINS + [random_chain(np.random.default_rng(s)) for s in range(4)]
)
def test_chains_with_held_blocks_stream_exactly(chain):
    rng = np.random.default_rng(len(chain))
    audio = signal(3000, 2, seed=9)
    # 5000 frames exceed the signal: everything is held until the flush.
    for block_size, workers in SETTINGS + [(333, 2), (5000, 1)]:
        whole = process_pipeline(audio, RATE, chain, block_size, workers)
        sizes = cuts(len(audio), rng)
        stream = Stream(chain, RATE, 2, block_size=block_size, workers=workers)
        outputs = stream_through(stream, audio, sizes)
        assert np.array_equal(np.concatenate(outputs), whole, equal_nan=True), (block_size, sizes)
        # Frames leave in whole blocks counted from the first frame; the flush ends the rest.
        released = np.cumsum([len(o) for o in outputs[:-1]])
        taken = np.cumsum(sizes)
        if sum(s["type"] == "dynamic_eq" for s in chain) == 1:
            assert list(released) == list(taken - taken % block_size)


def test_flush_and_reset_leave_the_stream_as_new():
    chain = [spec("delay"), spec("dynamic_eq"), spec("chorus")]
    first, second = signal(1500, 2, seed=1), signal(1200, 2, seed=2)
    expected = process_pipeline(second, RATE, chain, 64)
    stream = Stream(chain, RATE, 2, block_size=64)
    empty = stream.flush()
    assert empty.shape == (0, 2) and empty.dtype == np.float32

    # After a flush: a second signal as if on a new stream.
    stream_through(stream, first, [700, 800])
    assert np.array_equal(np.concatenate(stream_through(stream, second, [5, 1195])), expected)

    # A reset part-way drops the held frames and all state.
    stream.process(first[:100])
    assert stream.held_frames == 100 % 64
    stream.reset()
    assert stream.held_frames == 0
    assert np.array_equal(np.concatenate(stream_through(stream, second, [1200])), expected)


def test_reset_rebuilds_the_chain_as_given_at_construction():
    specs = [{"type": "gain", "db": 6.0}, [("type", "delay"), ("delay_ms", 3.0)]]
    stream = NativeStream(specs, RATE, 1)
    audio = signal(400, 1, seed=4)
    expected = process_pipeline(
        audio, RATE, [{"type": "gain", "db": 6.0}, {"type": "delay", "delay_ms": 3.0}]
    )
    specs[0]["db"] = -20.0
    specs.append({"type": "no such effect"})
    stream.process(audio[:50])
    stream.reset()
    out = np.concatenate([stream.process(audio), stream.flush()])
    assert np.array_equal(out, expected)


def test_mono_chunks_and_forms():
    chain = [spec("tremolo"), spec("dynamic_eq")]
    audio = signal(900, 1, seed=3)
    expected = process_pipeline(audio, RATE, chain, 100)[:, 0]
    stream = Stream(chain, RATE, 1, block_size=100)
    chunk = audio[:450, 0].astype(np.float64)
    kept = chunk.copy()
    parts = [stream.process(chunk), stream.process(audio[450:, 0].tolist())]
    rest = stream.flush()
    assert np.array_equal(chunk, kept)  # the caller's chunk is untouched
    assert all(p.ndim == 1 and p.dtype == np.float32 for p in parts + [rest])
    assert np.array_equal(np.concatenate(parts + [rest]), expected)
    # A non-contiguous chunk is read as its logical contents.
    stereo = signal(300, 2, seed=5)
    wide = np.repeat(stereo, 2, axis=1)[:, ::2]
    assert np.array_equal(Stream([], RATE, 2).process(wide), stereo)


def test_arguments_are_checked_like_process_pipeline():
    for rate, channels, message in [
        (0, 0, "sample_rate must be positive."),
        (RATE, 0, "Audio buffers must have at least one channel."),
        (RATE, 2**31, "Audio buffers must have at most 2147483647 channels."),
    ]:
        with pytest.raises(RuntimeError) as info:
            NativeStream([{"type": "reverb"}], rate, channels)
        assert str(info.value) == message
    with pytest.raises(RuntimeError, match="^Unknown effect type: reverb$"):
        NativeStream([{"type": "gain"}, {"type": "reverb"}], RATE, 2)
    with pytest.raises(TypeError):
        NativeStream([], 44100.0, 2)
    with pytest.raises(TypeError):
        NativeStream((), RATE, 2)
    with pytest.raises(TypeError):
        NativeStream([], RATE, 2, block_size=-1)
    defaults = NativeStream([], RATE, 2, 0, 0)
    assert (defaults.block_size, defaults.workers) == (2048, 1)

    with pytest.raises(ChainError):
        Stream([{"type": "shimmer"}], RATE, 2)
    with pytest.raises(TypeError, match="sample_rate"):
        Stream([], 44100.5, 2)
    assert Stream([], 44100.0, 2).sample_rate == 44100
    with pytest.warns(kavri.ClampWarning):  # its de-esser and shelf, above 8 kHz's half
        assert Stream("vocal", RATE, 2).chain == kavri.load_chain("vocal")
    mixed = Stream([{"type": "mixdown", "weights": [0.7, 0.3]}], RATE, 2)
    mixed.chain[0]["weights"][0] = 9  # a copy: the stream still says what it runs
    assert mixed.chain[0]["weights"] == [0.7, 0.3]

    stream = Stream([spec("delay")], RATE, 2)
    for bad in (np.zeros((10, 3), np.float32), np.zeros(10, np.float32), np.zeros((2, 2, 2))):
        with pytest.raises(ValueError):
            stream.process(bad)
    with pytest.raises(ValueError, match="chunk has 1 channel, the stream has 2 channels"):
        NativeStream([], RATE, 2).process(np.zeros((4, 1), np.float32))
    with pytest.raises(RuntimeError, match="exactly 2 dimensions"):
        NativeStream([], RATE, 1).process(np.zeros(4, np.float32))
    # A refused chunk changes nothing.
    audio = signal(200, 2, seed=6)
    assert np.array_equal(
        np.concatenate(stream_through(stream, audio, [200])),
        process_pipeline(audio, RATE, [spec("delay")]),
    )


class Blocking:
    """A parameter value whose conversion waits, once armed, until the test lets it go:
    a stream's reset, which rebuilds the chain from its specs, is then held mid-call."""

    def __init__(self):
        self.armed = False
        self.inside = threading.Event()
        self.release = threading.Event()

    def __float__(self):
        if self.armed:
            self.inside.set()
            assert self.release.wait(10)
        return 3.0


def test_a_second_thread_is_refused_while_one_uses_the_stream():
    value = Blocking()
    stream = NativeStream([{"type": "gain", "db": value}, {"type": "dynamic_eq"}], RATE, 2, 64)
    audio = signal(500, 2, seed=7)
    stream.process(audio[:100])
    value.armed = True
    worker = threading.Thread(target=stream.reset)
    worker.start()
    try:
        assert value.inside.wait(10)
        for call in (lambda: stream.process(audio), stream.flush, stream.reset):
            with pytest.raises(RuntimeError, match="^stream is in use by another thread$"):
                call()
    finally:
        value.release.set()
        worker.join()
    value.armed = False
    # The held frames went with the reset; the refused calls left no trace.
    assert stream.held_frames == 0
    out = np.concatenate([stream.process(audio), stream.flush()])
    assert np.array_equal(
        out,
        process_pipeline(audio, RATE, [{"type": "gain", "db": 3.0}, {"type": "dynamic_eq"}], 64),
    )


def test_streams_on_many_threads_at_once():
    chains = HELD_CHAINS[1:] + [[spec("phaser"), spec("limiter")]]
    jobs = [(signal(4000, 1 + k % 3, seed=k), chains[k % len(chains)], 1 + k % 2) for k in range(8)]

    def run(job):
        audio, chain, workers = job
        stream = Stream(chain, RATE, audio.shape[1], block_size=256, workers=workers)
        return np.concatenate(stream_through(stream, audio, [1000] * 4))

    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(run, jobs))
    for (audio, chain, _), got in zip(jobs, results, strict=True):
        assert np.array_equal(got, process_pipeline(audio, RATE, chain, 256))


def test_other_threads_run_while_a_chunk_runs(ticks_beside):
    audio = np.random.default_rng(6).uniform(-1, 1, (1_500_000, 2)).astype(np.float32)
    stream = Stream([{"type": "distortion"}] * 6, 48000, 2)
    assert ticks_beside(lambda: stream.process(audio)) >= 3


def thread_count():
    return len(os.listdir("/proc/self/task"))


# Enough samples per effect call on 12 channels (three groups of four) for two workers.
POOL_FRAMES = (1 << 23) // 12 + 4000


def test_useful_workers_gives_whole_channel_groups_to_buffers_that_pay():
    assert [useful_workers(2, 10**9, 2), useful_workers(4, 10**9, 4)] == [1, 1]
    assert [
        useful_workers(8, 10**9, 2),
        useful_workers(8, 10**9, 8),
        useful_workers(32, 10**9, 3),
    ] == [2, 2, 3]
    assert [
        useful_workers(12, POOL_FRAMES, 3),
        useful_workers(12, 256, 3),
        useful_workers(12, POOL_FRAMES, 0),
    ] == [2, 1, 1]
    with pytest.raises(ValueError, match="^channels must be at least 1, got 0$"):
        useful_workers(0, 100, 2)
    with pytest.raises(TypeError):
        useful_workers(2, -1, 2)


@pytest.mark.slow
def test_a_stream_keeps_its_worker_threads_and_gives_the_same_bits(threads_settled):
    audio = signal(POOL_FRAMES, 12, seed=5)
    types = effect_types()
    before = threads_settled()
    for k in range(0, len(types), 8):
        chain = [spec(t) for t in types[k : k + 8]]
        if k == 8:
            chain.insert(3, spec("dynamic_eq"))
        whole = process_pipeline(audio, RATE, chain, 512, 1)
        stream = NativeStream(chain, RATE, 12, 512, 3)
        outputs = [stream.process(audio[:-3000])]
        # The chunk's effects ran on the calling thread and one pool thread, which stays.
        assert thread_count() == before + 1
        outputs += [
            stream.process(audio[-3000:-1000]),
            stream.process(audio[-1000:]),
            stream.flush(),
        ]
        assert thread_count() == before + 1
        assert np.array_equal(np.concatenate(outputs), whole, equal_nan=True), chain
        del stream
        assert threads_settled(before) == before


# Runs in a child: a stream's worker thread cannot start (the address space is capped just
# above what the process maps and the chunk's output), and a chunk then raises without
# changing the stream; later, with room again, the same stream goes on.
POOL_START_FAILURE = textwrap.dedent("""
    import os, resource, sys, time
    import numpy as np
    import kavri
    from kavri import process_pipeline
    from kavri._kavri_stream import Stream

    frames = (1 << 23) // 8 + 100
    audio = np.random.default_rng(0).uniform(-1, 1, (frames, 8)).astype(np.float32)
    chain = [{"type": "compressor"}, {"type": "lowpass"}]
    expected = process_pipeline(audio, 48000, chain)
    if sys.argv[1] == "native":
        stream = Stream(chain, 48000, 8, 2048, 2)
    else:
        # The front end gives a stream no more workers than the machine has cores; the test
        # needs a worker to start, whatever the machine.
        kavri._engine._CORES = max(kavri._engine._CORES, 2)
        stream = kavri.Stream(chain, 48000, 8, block_size=2048, workers=2)
    head = stream.process(audio[:100])

    def mapped_bytes():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    threads = len(os.listdir("/proc/self/task"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + audio.nbytes + (4 << 20), hard))
    try:
        stream.process(audio[100:])
        outcome = "returned"
    except RuntimeError:
        outcome = "RuntimeError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    # A joined worker's task can stay listed for a moment after the join returns.
    deadline = time.monotonic() + 5.0
    while len(os.listdir("/proc/self/task")) != threads and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(os.listdir("/proc/self/task")) == threads, "a worker was left running"
    rest = stream.process(audio[100:])
    assert np.array_equal(np.concatenate([head, rest, stream.flush()]), expected)
    print(outcome)
""")


@pytest.mark.skipif(
    os.environ.get("KAVRI_SANITIZED") == "1",
    reason="the sanitizer's shadow memory takes the address space the test caps",
)
@pytest.mark.parametrize("kind", ["native", "front end"])
def test_a_worker_thread_that_cannot_start_fails_the_chunk_and_leaves_the_stream_as_it_was(kind):
    # Through the front end too: its stream was marked lost, though nothing had changed.
    result = subprocess.run(
        [sys.executable, "-c", POOL_START_FAILURE, kind],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RuntimeError"


# Runs in a child: an exception a signal handler raises during a native chunk is seen once the
# chunk has run, its output lost; the stream must then refuse, as after an interrupt.
HANDLER_EXCEPTION = textwrap.dedent("""
    import os, signal, threading, time
    import numpy as np
    import kavri

    class Deadline(Exception):
        pass

    def on_signal(signum, frame):
        raise Deadline

    signal.signal(signal.SIGUSR1, on_signal)
    audio = np.random.default_rng(0).uniform(-1, 1, (1_000_000, 2)).astype(np.float32)
    stream = kavri.Stream([{"type": "chorus"}] * 12, 48000, 2)

    def send():
        while not stream._busy.locked():
            time.sleep(0.001)
        time.sleep(0.05)  # into the native run, which takes far longer
        os.kill(os.getpid(), signal.SIGUSR1)

    threading.Thread(target=send).start()
    try:
        stream.process(audio)
    except Deadline:
        pass
    try:
        stream.process(audio[:10])
        print("accepted")
    except RuntimeError as error:
        print(error)
""")


def test_a_signal_handler_s_exception_after_a_native_chunk_leaves_the_stream_refusing():
    result = subprocess.run(
        [sys.executable, "-c", HANDLER_EXCEPTION], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert "failed part-way" in result.stdout, result.stdout


# Runs in a child: a stream whose worker threads run in this process is used again in a child
# made by fork(), which has none of them.
FORKED = textwrap.dedent("""
    import os, signal
    import numpy as np
    from kavri import process_pipeline
    from kavri._kavri_stream import Stream

    frames = (1 << 23) // 8 + 100
    audio = np.random.default_rng(1).uniform(-1, 1, (frames, 8)).astype(np.float32)
    chain = [{"type": "compressor"}, {"type": "delay"}]
    expected = process_pipeline(audio, 48000, chain)
    stream = Stream(chain, 48000, 8, 2048, 2)
    first = stream.process(audio)
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)
        rest = [stream.process(audio), stream.flush()]
        ok = np.array_equal(np.concatenate([first, *rest])[:frames], expected)
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
""")


def test_a_stream_with_worker_threads_works_in_a_forked_child():
    result = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORKED], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0"


def test_an_interrupted_call_leaves_the_stream_refusing_until_reset():
    # A Ctrl-C is seen once the native call has run its chunk: the chunk's output was lost
    # and the stream went on as if the caller had it, a gap in the signal without a word.
    stream = kavri.Stream([{"type": "phaser"}], RATE, 2)
    native = stream._native

    class Interrupted:
        def __getattr__(self, name):
            return getattr(native, name)

        def process(self, data):
            native.process(data)
            raise KeyboardInterrupt

    stream._native = Interrupted()
    with pytest.raises(KeyboardInterrupt):
        stream.process(signal(100, 2, seed=1))
    stream._native = native
    with pytest.raises(RuntimeError, match="reset\\(\\) it before further use"):
        stream.process(signal(100, 2, seed=1))
    stream.reset()
    audio = signal(300, 2, seed=3)
    assert np.array_equal(stream.process(audio), process_pipeline(audio, RATE, stream.chain))
    # A chunk the stream refuses up front changes nothing.
    with pytest.raises(ValueError):
        stream.process(signal(10, 3, seed=2))
    stream.process(audio)
    with pytest.raises(TypeError, match="cannot be copied"):
        copy.copy(stream)


def test_native_objects_refuse_every_pickle_protocol():
    # Protocols 0 and 1 built an instance of the binding library's base type, and the
    # process ended in std::terminate; hence a child.
    script = """
        import pickle, numpy as np, kavri
        from kavri._kavri_stream import Convolver
        from kavri.loudness import LevelMeter
        objects = [
            kavri.Stream("vocal", 48000, 2),
            kavri.Stream([{"type": "resample", "rate_hz": 16000}], 48000, 1),
            LevelMeter(48000, 2),
            Convolver(np.ones((4, 1), np.float32), 1, [(0, 0, 0)]),
        ]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            for item in objects:
                try:
                    pickle.dumps(item, protocol=protocol)
                except TypeError as error:
                    print(error)
    """
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 24 and set(lines) == {
        "a Stream cannot be pickled; make another with the same chain",
        "a LevelMeter cannot be pickled; make another and feed it the same audio",
        "cannot pickle 'kavri._kavri_stream.Convolver' object",
    }
