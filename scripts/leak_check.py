"""Runs a representative set of calls, successful and failing, under valgrind and fails if any
block allocated by the native module is definitely or indirectly lost.

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
    import numpy as np
    from kavri import process_pipeline
    audio = np.random.default_rng(0).uniform(-1, 1, (2000, 3)).astype(np.float32)
    types = ["gain", "clip", "distortion", "tremolo", "delay", "ping_pong_delay", "chorus",
             "flanger", "vibrato", "auto_pan", "phaser", "dynamic_eq", "rotary_speaker", "lowpass",
             "highpass", "bandpass", "notch", "peak_eq", "low_shelf", "high_shelf", "compressor",
             "upward_compression", "limiter", "expander", "noise_gate", "deesser",
             "transient_shaper", "pan", "stereo_width"]
    for kind in types:
        process_pipeline(audio, 48000, [{"type": kind}], 512, 2)
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
        stream.process(audio[start:start + 700])
    stream.reset()
    stream.process(audio)
    stream.flush()
    del stream
    try:
        Stream([{"type": "gain"}, {"type": "nope"}], 48000, 3)
    except RuntimeError:
        pass
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
        if ("definitely lost" in r or "indirectly lost" in r)
        and ("_kavri_core" in r or "_kavri_stream" in r or "kavri::" in r)
        and "PyModule_ExecDef" not in r
    ]
    for record in ours:
        print(record)
    print(f"{len(ours)} leak record(s) from the native module")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
