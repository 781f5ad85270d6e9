"""The memory guard: one budget for a whole call, checked before anything is allocated.

KAVRI_AVAILABLE_MEMORY imposes a lower available-memory figure than the machine's, so that
refusals are tried without exhausting anything. What a call really uses is measured in a
child process as the growth of its resident high-water mark.
"""

import json
import os
import re
import subprocess
import sys
import textwrap
import timeit

import numpy as np
import pytest

from kavri import _kavri_stream, process_pipeline
from kavri._kavri_stream import Stream as NativeStream
from kavri._kavri_stream import check_memory

MiB = 1 << 20
GiB = 1 << 30


@pytest.fixture
def available(monkeypatch):
    def impose(nbytes):
        monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", str(int(nbytes)))

    return impose


@pytest.mark.parametrize(
    "shape, spec, limit, message",
    [
        (
            (4, 2),
            {"type": "delay", "delay_ms": 1e7},
            1200 * MiB,
            'delay: "delay_ms" = 10000000 on 2 channels needs 3.6 GiB of delay lines; about 1.0 '
            "GiB is available",
        ),
        (
            (4, 2),
            {"type": "ping_pong_delay", "delay_ms": 1e7},
            1200 * MiB,
            'ping_pong_delay: "delay_ms" = 10000000 on 2 channels needs 3.6 GiB of delay lines; '
            "about 1.0 GiB is available",
        ),
        (
            (4, 1),
            {"type": "lowpass", "stages": 2**27},
            512 * MiB,
            'lowpass: "stages" = 134217728 on 1 channel needs 1.0 GiB of filter state; about '
            "448.0 MiB is available",
        ),
        (
            (4, 2),
            {"type": "phaser", "stages": 2**26},
            512 * MiB,
            'phaser: "stages" = 67108864 on 2 channels needs 1.0 GiB of all-pass state; about '
            "448.0 MiB is available",
        ),
        (
            (4, 2),
            {"type": "chorus", "depth_ms": -1e7},
            1200 * MiB,
            'chorus: "depth_ms" = -10000000 on 2 channels needs 3.6 GiB of delay lines; about 1.0 '
            "GiB is available",
        ),
        (
            (4, 2),
            {"type": "flanger", "delay_ms": float("inf")},
            1200 * MiB,
            'flanger: "delay_ms" = inf on 2 channels needs more than 16 EiB of delay lines',
        ),
        # Per-channel state with no size key of its own is described by the channel count.
        (
            (0, 2**28),
            {"type": "compressor"},
            512 * MiB,
            "compressor: 268435456 channels need 1.0 GiB of envelope state; about 448.0 MiB is "
            "available",
        ),
        (
            (2**23, 2),
            {"type": "gain"},
            64 * MiB,
            "the output buffer of 8388608 frames x 2 channels needs 64.0 MiB; about 56.0 MiB is "
            "available",
        ),
    ],
)
def test_refusal_names_the_effect_the_key_and_the_sizes(available, shape, spec, limit, message):
    available(limit)
    audio = np.full(shape, 0.5, np.float32)
    with pytest.raises(MemoryError) as info:
        process_pipeline(audio, 48000, [{"type": "gain", "db": 1.0}, spec])
    assert str(info.value) == message
    assert (audio == 0.5).all()


def test_a_chain_that_fits_only_effect_by_effect_is_refused_as_a_whole(available):
    available(2 * GiB)
    audio = np.full((1, 2), 0.5, np.float32)
    # One delay of 150 ms takes about 57 KiB on two channels; sixty thousand take 3.4 GiB.
    expected = audio.copy()
    for _ in range(100):
        expected = np.float32(1.0 - np.float32(0.2)) * expected  # the dry part; no echo yet
    assert np.array_equal(process_pipeline(audio, 48000, [{"type": "delay"}] * 100), expected)
    with pytest.raises(MemoryError) as info:
        process_pipeline(audio, 48000, [{"type": "delay"}] * 60000)
    assert re.fullmatch(
        r"the chain does not fit: its first (\d+) effects \(the last a delay\) need "
        r"1\.\d GiB together, beside 32 bytes for the output; about 1\.\d GiB is available",
        str(info.value),
    )
    assert (audio == 0.5).all()


def test_the_float32_copy_of_an_input_of_another_type_is_counted_before_it_is_made(available):
    available(available_for(12 * MiB))
    for audio in (np.full((1 << 21, 2), 0.5, np.float64), np.full((2, 1 << 21), 0.5, np.float32).T):
        with pytest.raises(MemoryError) as info:
            process_pipeline(audio, 48000, [{"type": "gain"}])
        assert str(info.value) == (
            f"the float32 copy of a {audio.shape[0]} x 2 {audio.dtype} array needs "
            "16.0 MiB; about 12.0 MiB is available"
        )
        with pytest.raises(MemoryError, match="^the float32 copy of a 2097152 x 2 "):
            NativeStream([{"type": "gain"}], 48000, 2).process(audio)
        assert (audio == 0.5).all()


def test_the_first_failing_spec_decides_and_the_next_call_works(available):
    available(1200 * MiB)
    audio = np.full((8, 2), 0.5, np.float32)
    huge = {"type": "delay", "delay_ms": 1e7}
    with pytest.raises(MemoryError, match="^delay: "):
        process_pipeline(audio, 48000, [{"type": "gain"}, huge, {"type": "no such effect"}])
    with pytest.raises(RuntimeError, match="^Unknown effect type: no such effect$"):
        process_pipeline(audio, 48000, [{"type": "no such effect"}, huge])
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type <class 'str'>"):
        process_pipeline(audio, 48000, [{"type": "gain", "db": "loud"}, huge])
    # A NaN length is a bad value, not a size.
    with pytest.raises(RuntimeError, match="delay_ms"):
        process_pipeline(audio, 48000, [{"type": "delay", "delay_ms": float("nan")}, huge])
    assert (audio == 0.5).all()
    out = process_pipeline(audio, 48000, [{"type": "delay", "delay_ms": 1e3, "mix": 1.0}])
    assert out.shape == audio.shape and not out.any()


def test_the_real_available_memory_is_what_counts():
    # Lines halfway between what the system says is available and its physical memory:
    # refused. Were they granted, they would stay untouched on four frames.
    with open("/proc/meminfo") as meminfo:
        mem_available = next(
            int(line.split()[1]) * 1024 for line in meminfo if line.startswith("MemAvailable:")
        )
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if physical - mem_available < GiB:
        pytest.skip("too little of this machine's memory is in use to tell the two apart")
    want = (mem_available + physical) / 2
    env = {k: v for k, v in os.environ.items() if k != "KAVRI_AVAILABLE_MEMORY"}
    code = textwrap.dedent(f"""
        import numpy as np
        from kavri import process_pipeline
        try:
            chain = [{{"type": "delay", "delay_ms": {want / 4}}}]
            process_pipeline(np.zeros((4, 1), np.float32), 1000, chain)
            print("ran")
        except MemoryError as error:
            print(error)
    """)
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith('delay: "delay_ms" = '), out.stdout


# Runs one call in a fresh process and prints whether it ran and how much its resident
# high-water mark grew. The input is written before the measure starts.
MEASURE = textwrap.dedent("""
    import json, sys
    import numpy as np
    from kavri import process_pipeline

    def high_water_mark():
        # VmHWM belongs to this process image; getrusage's ru_maxrss would carry the
        # parent's peak over the exec.
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

    frames, channels, rate, spec = json.loads(sys.argv[1])
    audio = np.full((frames, channels), 0.25, np.float32)
    process_pipeline(np.ones((64, 2), np.float32), rate, [{"type": "gain"}])
    before = high_water_mark()
    try:
        process_pipeline(audio, rate, [spec])
        outcome = "ran"
    except MemoryError:
        outcome = "refused"
    print(outcome, high_water_mark() - before)
""")


def measure(case, limit=None):
    env = {k: v for k, v in os.environ.items() if k != "KAVRI_AVAILABLE_MEMORY"}
    if limit is not None:
        env["KAVRI_AVAILABLE_MEMORY"] = str(int(limit))
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, json.dumps(case)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    outcome, grown = out.stdout.split()
    return outcome, int(grown)


# Under the sanitizer every allocation carries shadow memory and red zones the guard does not
# count, so resident sizes say nothing there.
measured = pytest.mark.skipif(
    os.environ.get("KAVRI_SANITIZED") == "1",
    reason="resident memory is not comparable under the sanitizer",
)


def available_for(nbytes):
    """The available-memory figure under which a call may plan exactly `nbytes` (an eighth of
    the figure is kept back below 2 GiB)."""
    return nbytes * 8 // 7 + 7


@pytest.mark.slow
@measured
@pytest.mark.parametrize(
    "case",
    [
        # Every slot of every line written: the lines are all resident.
        (2**24, 2, 1000, {"type": "delay", "delay_ms": 2**24, "feedback": 0.5}),
        (2**23, 2, 1000, {"type": "chorus", "depth_ms": 2**23, "delay_ms": 1}),
        (8, 2, 48000, {"type": "lowpass", "stages": 2**23}),
        (8, 1, 48000, {"type": "high_shelf", "stages": 2**24}),
        (8, 2, 48000, {"type": "phaser", "stages": 2**23}),
        # Many channels: a vector per channel, and the chorus's scratch rows while it runs.
        (0, 2**22, 48000, {"type": "lowpass"}),
        (0, 2**22, 48000, {"type": "phaser", "stages": 1}),
        (0, 2**24, 48000, {"type": "dynamic_eq"}),
        (1, 2**18, 1000, {"type": "chorus"}),
    ],
    ids=lambda case: f"{case[3]['type']}-{case[0]}x{case[1]}",
)
def test_the_guard_counts_what_a_call_uses(case):
    outcome, used = measure(case)
    assert outcome == "ran" and used > 32 * MiB
    # Planned at 97% of what it really took, it is refused: nothing it uses goes uncounted.
    assert measure(case, available_for(used * 97 // 100))[0] == "refused"
    # Planned at twice what it took, it runs: the count is not wildly above the truth.
    assert measure(case, available_for(used * 2))[0] == "ran"


@measured
def test_long_lines_take_memory_only_where_a_call_reaches():
    # 366 MiB of delay lines on 4096 frames: the lines start out as untouched zero pages.
    outcome, used = measure((4096, 2, 48000, {"type": "delay", "delay_ms": 1e6}))
    assert outcome == "ran" and used < 32 * MiB


@pytest.mark.parametrize(
    "value, fits",
    [
        ("2G", True),
        ("1e9", True),
        ("512 MiB", True),
        ("3.5gb", True),
        ("64k", False),
        ("100", False),
        ("", True),
    ],
)
def test_the_imposed_figure_takes_the_units_people_write(monkeypatch, value, fits):
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", value)
    audio = np.full((1 << 16, 2), 0.5, np.float32)  # a 512 KiB output
    if fits:
        assert process_pipeline(audio, 48000, [{"type": "gain"}]).shape == audio.shape
    else:
        with pytest.raises(
            MemoryError, match="^the output buffer of 65536 frames x 2 channels needs"
        ):
            process_pipeline(audio, 48000, [{"type": "gain"}])


def test_every_native_entry_names_a_mono_shape_in_the_same_words(available):
    available(64 * 1024)
    mono = np.zeros((1 << 16, 1), np.float32)
    with pytest.raises(MemoryError, match="^the output buffer of 65536 frames x 1 channel needs"):
        process_pipeline(mono, 48000, [{"type": "gain"}])
    with pytest.raises(MemoryError, match=r"^a chunk of 65536 frames x 1 channel \("):
        NativeStream([{"type": "gain"}], 48000, 1).process(mono)
    convolver = _kavri_stream.Convolver(np.ones((4, 1), np.float32), 1, [(0, 0, 0)])
    with pytest.raises(MemoryError, match="a chunk of 65536 frames x 1 channel needs"):
        convolver.process(mono)
    with pytest.raises(ValueError, match="^chunk has 2 channels, the effect has 1 channel$"):
        convolver.process(np.zeros((4, 2), np.float32))


@pytest.mark.parametrize("value", ["-1", "abc", "2 gigs", "1e", "0x10", "12 PB"])
def test_an_imposed_figure_that_is_not_a_size_is_refused_by_every_entry(monkeypatch, value):
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", value)
    message = f'^KAVRI_AVAILABLE_MEMORY="{re.escape(value)}" is not a size: '
    audio = np.zeros((4, 2), np.float32)
    for call in (
        lambda: process_pipeline(audio, 48000, [{"type": "gain"}]),
        lambda: NativeStream([{"type": "gain"}], 48000, 2),
        lambda: check_memory(1, "a buffer"),
    ):
        with pytest.raises(ValueError, match=message):
            call()


def test_check_memory_refuses_in_the_guards_words(available):
    available(1200 * MiB)
    with pytest.raises(MemoryError) as info:
        check_memory(3865470566, "the spool of in.wav")
    assert str(info.value) == "the spool of in.wav needs 3.6 GiB; about 1.0 GiB is available"
    with pytest.raises(
        MemoryError, match="^a plot needs more than 16 EiB; about 1.0 GiB is available$"
    ):
        check_memory(1 << 70, "a plot")
    with pytest.raises(ValueError, match="^bytes must be 0 or more, got -1$"):
        check_memory(-1, "a chunk")
    with pytest.raises(TypeError):
        check_memory(1.5, "a chunk")  # type: ignore[arg-type]
    check_memory(0, "nothing")
    check_memory(1000 * MiB, "a chunk that fits")
    # Cheap for small sizes: a recent reading of the system's figures serves them.
    best = min(timeit.repeat(lambda: check_memory(1 << 20, "a chunk"), number=2000, repeat=3))
    assert best / 2000 < 20e-6


DYNAMIC_CHAIN = [
    {"type": "dynamic_eq"},
    {"type": "gain", "db": -3.0},
    {"type": "dynamic_eq", "q": 3.0},
]


def test_stream_chunks_and_flushes_are_planned_before_they_allocate(available):
    audio = np.random.default_rng(1).uniform(-1, 1, ((4 << 20) + 1000, 2)).astype(np.float32)
    stream = NativeStream(DYNAMIC_CHAIN, 48000, 2, block_size=1 << 20)
    first = stream.process(audio[: 5 << 19])
    # The rest releases two blocks: an output of 16 MiB, which does not fit in 12 MiB.
    available(available_for(12 * MiB))
    with pytest.raises(MemoryError) as info:
        stream.process(audio[5 << 19 :])
    assert re.fullmatch(
        r"a chunk of 1573864 frames x 2 channels \(its output 16\.0 MiB(, frames held for "
        r"whole blocks [^)]+)?\) needs 16\.0 MiB; about 12\.0 MiB is available",
        str(info.value),
    ), str(info.value)
    # A float64 chunk is counted with its float32 copy.
    with pytest.raises(
        MemoryError, match=r"^the float32 copy of a 1573864 x 2 float64 array needs 12\.0 MiB; "
    ):
        stream.process(audio[5 << 19 :].astype(np.float64))
    # The refused chunks changed nothing: with room, the stream goes on as if they never came.
    assert stream.held_frames == (5 << 19) % (1 << 20)
    available(GiB)
    rest = stream.process(audio[5 << 19 :])
    assert stream.held_frames == 1000
    available(available_for(4 * 1024))
    with pytest.raises(
        MemoryError, match=r"^the flush of 1000 frames x 2 channels \(its output 7\.8 KiB"
    ):
        stream.flush()
    available(GiB)
    out = np.concatenate([first, rest, stream.flush()])
    assert np.array_equal(out, process_pipeline(audio, 48000, DYNAMIC_CHAIN, 1 << 20))


def test_a_stream_counts_a_held_block_only_in_front_of_effects_that_hold_frames(available):
    available(1200 * MiB)
    # Nothing in a plain chain is held: a huge block size costs nothing, as in process_pipeline.
    huge = 1 << 34
    audio = np.full((8, 2), 0.5, np.float32)
    stream = NativeStream([{"type": "gain", "db": 6.0}], 48000, 2, block_size=huge)
    assert np.array_equal(
        np.concatenate([stream.process(audio), stream.flush()]),
        process_pipeline(audio, 48000, [{"type": "gain", "db": 6.0}], huge),
    )
    with pytest.raises(MemoryError) as info:
        NativeStream([{"type": "gain"}, {"type": "dynamic_eq"}], 48000, 2, block_size=huge)
    assert str(info.value) == (
        'dynamic_eq: "block_size" = 17179869184 on 2 channels needs 128.0 GiB of '
        "held frames and filter state; about 1.0 GiB is available"
    )
    # A block of 64 Mi frames (512 MiB) is held in front of each dynamic EQ: one fits, two do not.
    available(1100 * MiB)
    NativeStream([{"type": "dynamic_eq"}], 48000, 2, block_size=1 << 26)
    with pytest.raises(MemoryError) as info:
        NativeStream([{"type": "dynamic_eq"}, {"type": "dynamic_eq"}], 48000, 2, block_size=1 << 26)
    assert str(info.value) == (
        "the chain does not fit: its first 2 effects (the last a dynamic_eq) need "
        "1.0 GiB together; about 962.5 MiB is available"
    )


# Run in a fresh process: how much of a freed block the allocator gives back to the system
# depends on what the process allocated before (glibc raises its threshold for mapping
# blocks of their own after freeing one), so the suite's earlier tests must not decide it.
REBUILD = textwrap.dedent("""
    import os
    import numpy as np
    from kavri._kavri_stream import Stream

    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    class ResidentProbe:
        # A parameter value that, once armed, records the resident memory each time the chain
        # is planned: what a rebuild of the chain sees when it plans.
        def __init__(self, value):
            self.value, self.armed, self.seen = value, False, []

        def __float__(self):
            if self.armed:
                self.seen.append(resident_bytes())
            return self.value

    # Two delay lines of 8 Mi samples (64 MiB), every slot written by 9 Mi frames of signal.
    probe = ResidentProbe((8 << 20) / 48.0)
    stream = Stream([{"type": "delay", "delay_ms": probe, "feedback": 0.5}], 48000, 2)
    chunk = np.full((1 << 20, 2), 0.25, np.float32)
    for rebuild in (stream.flush, stream.reset):
        for _ in range(9):
            stream.process(chunk)
        before = resident_bytes()
        probe.armed = True
        rebuild()
        probe.armed = False
        print(rebuild.__name__, before, probe.seen[-1])
""")


@measured
def test_flush_and_reset_free_the_old_chain_before_planning_the_new():
    out = subprocess.run(
        [sys.executable, "-c", REBUILD], capture_output=True, text=True, timeout=300, check=True
    )
    for line in out.stdout.splitlines():
        name, before, planned = line.split()
        # The written lines were gone when the new chain was planned.
        assert int(planned) < int(before) - 48 * MiB, line
    assert len(out.stdout.splitlines()) == 2


def test_a_chain_that_cannot_be_built_again_keeps_the_flush_and_refuses_until_reset(available):
    chain = [{"type": "delay", "delay_ms": 3e6}, {"type": "dynamic_eq"}]  # 1.1 GiB of lines
    audio = np.random.default_rng(2).uniform(-1, 1, (5000, 2)).astype(np.float32)
    expected = process_pipeline(audio, 48000, chain, 4096)
    stream = NativeStream(chain, 48000, 2, block_size=4096)
    first = stream.process(audio)
    available(600 * MiB)
    # The last frames are delivered though the chain cannot be built again for another signal.
    rest = stream.flush()
    assert np.array_equal(np.concatenate([first, rest]), expected)
    for call in (lambda: stream.process(audio), stream.flush):
        with pytest.raises(
            RuntimeError,
            match=r'^stream could not build its chain again \(delay: "delay_ms" '
            r"= 3000000 on 2 channels needs 1\.1 GiB of delay lines; about "
            r"525\.0 MiB is available\); reset\(\) it before further use$",
        ):
            call()
    with pytest.raises(MemoryError, match='^delay: "delay_ms"'):
        stream.reset()
    with pytest.raises(RuntimeError, match="^stream could not build its chain again"):
        stream.process(audio)
    available(4 * GiB)
    stream.reset()
    out = np.concatenate([stream.process(audio), stream.flush()])
    assert np.array_equal(out, expected)


# Runs one stream chunk in a fresh process and prints whether it ran and how much its resident
# high-water mark grew.
MEASURE_CHUNK = textwrap.dedent("""
    import json, sys
    import numpy as np
    from kavri._kavri_stream import Stream

    def high_water_mark():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

    frames, chain, block_size, dtype = json.loads(sys.argv[1])
    audio = np.full((frames, 2), 0.25, dtype)
    stream = Stream(chain, 48000, 2, block_size)
    stream.process(np.ones((block_size // 2 + 1, 2), np.float32))
    before = high_water_mark()
    try:
        stream.process(audio)
        outcome = "ran"
    except MemoryError:
        outcome = "refused"
    print(outcome, high_water_mark() - before)
""")


def measure_chunk(case, limit=None):
    env = {k: v for k, v in os.environ.items() if k != "KAVRI_AVAILABLE_MEMORY"}
    if limit is not None:
        env["KAVRI_AVAILABLE_MEMORY"] = str(int(limit))
    out = subprocess.run(
        [sys.executable, "-c", MEASURE_CHUNK, json.dumps(case)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    outcome, grown = out.stdout.split()
    return outcome, int(grown)


@measured
@pytest.mark.parametrize(
    "case",
    [
        (1 << 23, DYNAMIC_CHAIN, 4096, "float32"),
        (1 << 22, DYNAMIC_CHAIN, 1 << 21, "float32"),
        (1 << 23, [{"type": "gain"}, {"type": "chorus"}], 2048, "float32"),
    ],
    ids=["two-stages", "big-blocks", "no-stages"],
)
@pytest.mark.slow
def test_the_guard_counts_what_a_stream_chunk_uses(case):
    outcome, used = measure_chunk(case)
    assert outcome == "ran" and used > 32 * MiB
    assert measure_chunk(case, available_for(used * 97 // 100))[0] == "refused"
    assert measure_chunk(case, available_for(used * 2))[0] == "ran"


def test_a_stream_with_steps_counts_a_conversion_and_refuses_after_failing_part_way(available):
    import kavri

    chain = [{"type": "gain", "db": -1}, {"type": "resample", "rate_hz": 192_000}]
    audio = np.random.default_rng(2).uniform(-1, 1, (200_000, 2)).astype(np.float32)
    stream = kavri.Stream(chain, 48_000, 2)
    first = stream.process(audio[:70_000])
    # A chunk whose output does not fit is refused before anything runs: the stream goes
    # on, and the frames it holds are still flushed (a fade's were lost to a reset).
    available(available_for(3 * MiB))
    with pytest.raises(MemoryError, match=r"^resample: the output of 130000 frames"):
        stream.process(audio[70_000:])
    faded = kavri.Stream([{"type": "fade", "out_s": 0.5}], 48_000, 2)
    held = faded.process(audio[:70_000])
    available(available_for(MiB // 2))
    with pytest.raises(MemoryError, match=r"^fade: the output of 130000 frames"):
        faded.process(audio[70_000:])
    available(GiB)
    rest = faded.flush()
    assert np.array_equal(
        np.concatenate([held, rest]), kavri.process(audio[:70_000], 48_000, faded._chain)
    )
    # A block's conversion makes about 2.2 MiB twice over: soxr's raw output was made
    # without asking (std::bad_alloc, at a rate of gigahertz).
    available(available_for(3 * MiB))
    with pytest.raises(MemoryError, match=r"^resample: the conversion of \d+ frames"):
        stream.process(audio[70_000:140_000])
    # The steps' state is unknown after a failure part-way: refused until reset, as the
    # engine's own streams are (it had gone on with frames counted that never came out).
    available(GiB)
    with pytest.raises(RuntimeError, match="failed part-way.*reset"):
        stream.process(audio[70_000:])
    with pytest.raises(RuntimeError, match="failed part-way"):
        stream.flush()
    stream.reset()
    again = [stream.process(audio[:70_000]), stream.process(audio[70_000:]), stream.flush()]
    assert stream.held_frames == 0
    assert np.array_equal(again[0], first)
    assert np.array_equal(np.concatenate(again), kavri.process(audio, 48_000, chain))


@pytest.mark.parametrize(
    "chain, call, limit",
    [
        ([{"type": "compressor"}, {"type": "resample", "rate_hz": 16_000}], "chunk", MiB),
        ([{"type": "dynamic_eq"}, {"type": "reverb"}], "flush", MiB // 2),
    ],
)
def test_a_staged_stream_refused_at_its_first_engine_run_can_be_tried_again(
    available, chain, call, limit
):
    import kavri

    audio = np.random.default_rng(3).uniform(-1, 1, (300_000, 2)).astype(np.float32)
    stream = kavri.Stream(chain, 48_000, 2, block_size=1 << 18)
    out = [stream.process(audio[:100_000])]
    available(limit)
    # Refused before any stage changed: the stream had been marked lost, its held frames
    # gone with a reset.
    with pytest.raises(MemoryError, match="^a chunk of|^the flush of|a flush brings") as refused:
        stream.process(audio[100_000:]) if call == "chunk" else stream.flush()
    assert "state is lost" not in str(refused.value)
    available(GiB)
    if call == "chunk":
        out.append(stream.process(audio[100_000:]))
    out.append(stream.flush())
    whole = audio if call == "chunk" else audio[:100_000]
    assert np.array_equal(np.concatenate(out), kavri.process(whole, 48_000, chain))


def test_codecs_count_what_their_conversions_and_copies_make(
    available, monkeypatch, tmp_path, capsys
):
    import kavri
    from kavri.cli import main

    # From 1 Hz, a GSM block is converted to 8 kHz first: 8,000 times its frames, which
    # grew past the figure (and then crashed in the converter) with no refusal.
    available(100 * MiB)
    tone = np.full((20000, 1), 0.1, np.float32)
    with pytest.raises(MemoryError, match="^codec: a block of 20000 frames needs"):
        kavri.process(tone, 1, [{"type": "codec", "format": "gsm"}])
    # mu-law's copies of a chunk were not counted at all.
    available(40 * MiB)
    wide = np.zeros((1 << 20, 4), np.float32)
    with pytest.raises(MemoryError, match="^mu_law: a chunk of 1048576 frames needs"):
        kavri.process(wide, 48000, [{"type": "mu_law"}])
    # A stream counts all it holds for a block, not each chunk alone (it held 84 MiB of a
    # 30 MiB figure before it refused).
    available(30 * MiB)
    stream = kavri.Stream([{"type": "codec", "format": "mp3"}], 48000, 300)
    with pytest.raises(MemoryError, match="^codec: the frames held for a block needs"):
        for _ in range(40):
            stream.process(np.zeros((1000, 300), np.float32))
    # An imposed figure that is not a size reaches the command line as one line.
    kavri.write(tmp_path / "in.wav", tone[:100], 8000)
    monkeypatch.setenv("KAVRI_AVAILABLE_MEMORY", "lots")
    args = ["process", str(tmp_path / "in.wav"), str(tmp_path / "o.wav"), "--effect", "gain"]
    assert main(args) == 1
    err = capsys.readouterr().err
    assert err.startswith('kavri: error: KAVRI_AVAILABLE_MEMORY="lots" is not a size')
    assert len(err.strip().splitlines()) == 1 and not (tmp_path / "o.wav").exists()


def test_a_whole_codec_call_holds_its_input_and_output_once():
    import tracemalloc

    import kavri

    # The blocks' output was kept in a list and then joined: three copies of the signal at
    # the peak, where the guard had counted two. Now the blocks are written into one buffer.
    audio = np.random.default_rng(4).uniform(-0.3, 0.3, (1 << 21, 2)).astype(np.float32)
    tracemalloc.start()
    try:
        out = kavri.process(audio, 48000, [{"type": "codec", "format": "vorbis"}])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert out.shape == audio.shape
    # The held copy, the output and one block's work (a few MiB).
    assert peak < 2.75 * audio.nbytes


@pytest.mark.parametrize(
    "spec",
    [
        {"type": "trim_silence"},
        {"type": "normalize", "mode": "true"},
        {"type": "sample_hold", "rate_hz": 8000},
    ],
)
def test_whole_calls_keep_per_frame_work_small_beside_the_signal(spec):
    import tracemalloc

    import kavri

    # These made their indices, masks and float64 copies for the whole signal at once: 7 to
    # 19 times a mono signal's size, none of it asked of the guard. They now go a piece at
    # a time, with the bits of one call.
    audio = np.random.default_rng(5).uniform(-0.5, 0.5, (1 << 20, 1)).astype(np.float32)
    audio[:300_000] *= 1e-4
    tracemalloc.start()
    try:
        kavri.process(audio, 48000, [spec])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2.5 * audio.nbytes


def test_millions_of_channels_are_refused_before_their_per_channel_lists_are_made(available):
    import kavri

    # A convolution's paths and a mixdown's matrix were Python numbers a channel: 420 MB
    # were made under a 100 MB figure before the engine refused, or nothing refused at all.
    available(100 * MiB)
    one = np.ones((1, 1), np.float32)
    with pytest.raises(MemoryError, match=r"^convolution.*the paths of 3000000 channels needs"):
        kavri.Stream([{"type": "convolution", "ir": one}], 48000, 3_000_000)
    with pytest.raises(MemoryError, match=r"^mixdown: a matrix of 1 x 3000000 needs"):
        kavri.Stream([{"type": "mixdown"}], 48000, 3_000_000)
    # A true-peak meter took 370 MiB for a million channels unasked, and grew on its first add.
    from kavri.loudness import TruePeakMeter

    with pytest.raises(MemoryError, match=r"^a true-peak meter of 1000000 channels needs"):
        TruePeakMeter(1_000_000)


def test_grouping_a_batch_s_chains_asks_for_its_table_first(available):
    import kavri

    # Matching the steps of two long chains to run them side by side made a table in the
    # product of their lengths (2 GB for 16,000 steps each) that no memory check saw. Where
    # it does not fit, each runs in a group of its own, as each would run alone; items of
    # one chain need none.
    available(200 * MiB)
    x = np.zeros((2, 160, 1), np.float32)
    gains, lows = [{"type": "gain"}] * 12_000, [{"type": "lowpass"}] * 12_000
    out = kavri.process_batch(x, 48_000, [gains, lows])
    for item, chain in enumerate((gains, lows)):
        assert np.array_equal(out[item], kavri.process(x[item], 48_000, chain))
    assert kavri.process_batch(x, 48_000, gains).shape == x.shape


def test_a_kept_response_holds_its_spectra_not_a_second_running_state(available):
    import kavri
    from kavri import _engine

    # Nine channels through a 1M-frame response: 7.7 MiB of spectra and 71.5 MiB of running
    # state. The kept prototype had a running state of its own that was never run: it asked
    # for 79 MiB, and each call's convolver for 71.5 MiB more.
    response = np.random.default_rng(6).standard_normal(1_000_000).astype(np.float32)
    available(available_for(75 * MiB))
    out = kavri.process(
        np.ones((10, 9), np.float32), 48000, [{"type": "convolution", "ir": response}]
    )
    assert np.allclose(out, np.cumsum(response[:10])[:, None], rtol=1e-5, atol=1e-5)
    # The same response made to run itself still asks for its state.
    with pytest.raises(MemoryError, match="^convolution with an impulse response"):
        _engine.NativeConvolver(response[:, None], 9, [(c, 0, c) for c in range(9)])
    kept = _engine.NativeConvolver(
        response[:, None], 9, [(c, 0, c) for c in range(9)], prototype=True
    )
    with pytest.raises(ValueError, match="prototype convolver is not run"):
        kept.process(np.zeros((1, 9), np.float32))


def test_a_response_converted_far_up_is_counted_at_its_new_length(available, tmp_path, monkeypatch):
    import soundfile as sf

    import kavri
    from kavri.steps import rate

    # Counted at the file's own length, a response converted to a rate of gigahertz grew to
    # gigabytes, and soxr, asked for 2**31 frames in one call, crashed the process.
    sf.write(tmp_path / "ir.wav", np.full((1000, 1), 0.01, np.float32), 8000)
    chain = [{"type": "convolution", "ir": str(tmp_path / "ir.wav")}]
    available(available_for(10 * MiB))
    with pytest.raises(MemoryError, match=r"1000 frames, 1000000 at 8000000 Hz\) needs"):
        kavri.process(np.zeros((10, 1), np.float32), 8_000_000, chain)
    # So long a conversion goes the stream's way, in blocks that make a bounded output each:
    # the same bits as soxr's one call.
    audio = np.random.default_rng(7).uniform(-1, 1, (5000, 2)).astype(np.float32)
    step = rate.resample_step(8000, 2, 44100, 1)
    whole = step.run_whole(audio)
    monkeypatch.setattr(rate, "_ONE_SHOT_MOST", 1000)
    assert np.array_equal(rate.resample_step(8000, 2, 44100, 1).run_whole(audio), whole)


@measured
def test_a_reverb_makes_its_lines_once():
    # The plan kept a reverb of its own to ask output lengths of, its lines allocated: at
    # 400 MHz a call peaked at 1.33 GB, twice the 0.6 GiB the guard was asked for.
    child = textwrap.dedent(
        """
        import numpy as np
        import kavri
        kavri.process(np.zeros((1000, 2), np.float32), 400_000_000, [{"type": "reverb"}])
        # This process image's own peak: ru_maxrss carries over a forking parent's (a test
        # worker past 1 GiB failed this test once).
        with open("/proc/self/status") as status:
            print(next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")))
        """
    )
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, check=True)
    assert int(done.stdout) * 1024 < 1 << 30


@pytest.mark.skipif(
    os.environ.get("KAVRI_SANITIZED") == "1",
    reason="an address-space limit leaves the sanitizer no room for its shadow memory",
)
def test_soxr_working_memory_is_asked_for_and_noise_is_converted_at_its_own_channels(tmp_path):
    # soxr's filters take some 230 KiB a channel: 65,536 frames of 2,000 channels were
    # granted 1.5 GiB, took 2.3 GiB and died inside soxr under an address-space limit. A
    # mono noise file at another rate under 2,000 channels was converted 2,000 times over.
    import soundfile as sf

    noise = (0.1 * np.random.default_rng(2).standard_normal(5000)).astype(np.float32)
    sf.write(tmp_path / "n.wav", noise, 22050)
    script = f"""
import resource
resource.setrlimit(resource.RLIMIT_AS, (2_500 << 20, 2_500 << 20))
import numpy as np, kavri
wide = np.zeros((100, 2000), np.float32)
spec = {{"type": "background_noise", "path": {str(tmp_path / "n.wav")!r}, "mode": "gain"}}
out = kavri.process(wide, 16000, [spec])
assert out.shape == (100, 2000) and np.array_equal(out[:, 0], out[:, 1999])
try:
    kavri.process(np.zeros((65536, 2000), np.float32), 48000,
                  [{{"type": "resample", "rate_hz": 44100}}])
except MemoryError as error:
    assert "resample: the conversion of 65536 frames" in str(error), error
"""
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=300
    )
    assert run.returncode == 0, run.stderr[-2000:]


def test_a_stream_asks_for_each_step_s_output_before_it_is_made(available):
    import kavri

    # A polarity, bitcrush or sample_hold in a stream made its chunk's output unasked (763
    # MiB under a 200 MiB figure), where the whole call and the engine's effects refused.
    wide = np.broadcast_to(np.float32(0.5), (20_000_000, 2))
    available(available_for(100 * MiB))
    for kind in ("polarity", "bitcrush", "sample_hold"):
        stream = kavri.Stream([{"type": kind}], 48_000, 2)
        with pytest.raises(MemoryError, match=f"^{kind}: the output of 20000000 frames needs"):
            stream.process(wide)
    # A reverb's lines were refused as the chunk reached it, after the gain before it had
    # run: the stream was left broken, and again after each reset.
    stream = kavri.Stream([{"type": "gain", "db": 1}, {"type": "reverb"}], 2**27, 1)
    with pytest.raises(MemoryError, match="^reverb: the delay network at 134217728 Hz needs"):
        stream.process(wide[:1, :1])
    available(available_for(2 * GiB))
    assert stream.process(wide[:4, :1]).shape == (4, 1)


@pytest.mark.parametrize(
    "spec", [{"type": "noise", "snr_db": 10}, {"type": "normalize"}], ids=["noise", "normalize"]
)
def test_a_stream_holding_the_whole_signal_refuses_the_chunk_its_flush_has_no_room_for(
    available, spec
):
    import kavri

    # Such a stream asked for each chunk alone: it took all of the input, then its flush
    # failed (the noise of 9.6M frames needed 146.5 MiB) and everything held was lost.
    chunk = np.full((500_000, 2), 0.25, np.float32)
    stream = kavri.Stream([spec], 48_000, 2)
    available(available_for(40 * MiB))
    taken = 0
    with pytest.raises(MemoryError, match="held until the flush, and its flush needs"):
        while taken < 100:
            stream.process(chunk)
            taken += 1
    # The refused chunk changed nothing: what was held flushes, with the bits of one call.
    assert 0 < taken < 20
    flushed = stream.flush()
    available(GiB)
    held = np.concatenate([chunk] * taken)
    assert np.array_equal(flushed, kavri.process(held, 48_000, [spec]))


def test_a_file_s_long_pad_is_written_a_piece_at_a_time(available, tmp_path):
    import kavri

    # The pad's silence was made as one array: half an hour of it after a minute of input
    # took 892 MB, and under a smaller figure the file was refused.
    audio = np.random.default_rng(5).uniform(-0.5, 0.5, (4800, 2)).astype(np.float32)
    kavri.write(tmp_path / "in.wav", audio, 48_000)
    chain = [{"type": "pad", "start_s": 20, "end_s": 40}, {"type": "gain", "db": -6}]
    available(available_for(6 * MiB))  # the silence is 22 MiB, the end of it 15
    kavri.process_file(tmp_path / "in.wav", tmp_path / "out.wav", chain)
    available(GiB)
    written = kavri.read(tmp_path / "out.wav").audio
    assert np.array_equal(written, kavri.process(audio, 48_000, chain))
