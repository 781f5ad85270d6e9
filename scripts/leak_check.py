"""Runs a representative set of calls, successful and failing, under valgrind and fails if any
block allocated by the native modules is definitely or indirectly lost, or if memcheck finds a
fault in them: a read of memory never written (which would make output bits depend on what
the memory held before) or outside a block.

Every output is written to /dev/null, so that memcheck looks at each of its bytes.

CPython itself keeps some allocations until exit; only losses whose allocation stack passes
through the module are counted.
"""

import os
import re
import subprocess
import sys
import tempfile
import textwrap

WORKLOAD = textwrap.dedent("""
    import os
    import numpy as np
    from kavri import process_pipeline
    sink = os.open(os.devnull, os.O_WRONLY)
    def shown(out):
        for part in out if isinstance(out, list) else [out]:
            os.write(sink, np.ascontiguousarray(part).tobytes())
    audio = np.random.default_rng(0).uniform(-1, 1, (2000, 3)).astype(np.float32)
    types = ["gain", "clip", "distortion", "tremolo", "delay", "ping_pong_delay", "chorus",
             "flanger", "vibrato", "auto_pan", "phaser", "dynamic_eq", "rotary_speaker", "lowpass",
             "highpass", "bandpass", "notch", "peak_eq", "low_shelf", "high_shelf", "compressor",
             "upward_compression", "limiter", "expander", "noise_gate", "deesser",
             "transient_shaper", "pan", "stereo_width"]
    for kind in types:
        shown(process_pipeline(audio, 48000, [{"type": kind}], 512, 2))
    for bad in ([{"type": "gain"}, {"type": "nope"}], [{"type": "lowpass", "stages": 2**31 - 1}],
                [{"type": "chorus"}, {"type": "delay", "delay_ms": float("nan")}],
                [{"type": "gain"}, {"type": "compressor", "ratio": "x"}]):
        try:
            process_pipeline(audio, 48000, bad, 512, 2)
        except (RuntimeError, MemoryError):
            pass
    from kavri._kavri_stream import Stream
    chain = [{"type": "chorus"}, {"type": "dynamic_eq"}, {"type": "delay"}]
    stream = Stream(chain, 48000, 3, 512, 2)
    for start in range(0, 2000, 700):
        shown(stream.process(audio[start:start + 700]))
    stream.reset()
    shown(stream.process(audio))
    shown(stream.flush())
    del stream
    try:
        Stream([{"type": "gain"}, {"type": "nope"}], 48000, 3)
    except RuntimeError:
        pass
    import kavri
    shown(kavri.process_batch([audio, audio[:700]], 48000,
                              [[{"type": "compressor"}], [{"type": "chorus"}]]))
    response = np.random.default_rng(1).uniform(-0.1, 0.1, (3000, 1)).astype(np.float32)
    rooms = [{"type": "convolution", "ir": response}, {"type": "reverb"}]
    shown(kavri.process(audio, 48000, rooms))
    shown(np.array(kavri.measure(audio, 48000).integrated_lufs))
""")


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "valgrind.log")
        env = dict(os.environ, PYTHONMALLOC="malloc")
        subprocess.run(
            [
                "valgrind",
                "--leak-check=full",
                "--show-leak-kinds=definite,indirect",
                "--num-callers=40",
                f"--log-file={log}",
                sys.executable,
                "-c",
                WORKLOAD,
            ],
            env=env,
            check=True,
        )
        text = open(log).read()
    records = re.split(r"\n==\d+== \n", text)
    # The binding library's class set-up at import leaves a few bytes of the type's names
    # behind once per process (the stream module defines a class); that is not a leak of
    # any call, so records from a module's exec step are left out.
    ours = [
        r
        for r in records
        if ("_kavri_core" in r or "_kavri_stream" in r or "kavri::" in r)
        and "PyModule_ExecDef" not in r
    ]
    leaks = [r for r in ours if "definitely lost" in r or "indirectly lost" in r]
    faults = [r for r in ours if any(kind in r for kind in FAULTS)]
    for record in leaks + faults:
        print(record)
    print(f"{len(leaks)} leak record(s) and {len(faults)} fault(s) from the native modules")
    return 1 if leaks or faults else 0


# memcheck's reports of a fault, as against a leak.
FAULTS = (
    "uninitialised value",
    "uninitialised byte",
    "Invalid read",
    "Invalid write",
    "Invalid free",
    "Mismatched free",
    "overlap",
)


if __name__ == "__main__":
    sys.exit(main())
