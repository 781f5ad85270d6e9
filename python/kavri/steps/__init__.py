"""Steps: chain items that change the rate, the length or the channel count, and the
planning that runs them between the engine's effects.

A chain may mix the engine's effects with steps (``resample``, ``speed``, ``time_stretch``,
``pitch_shift``, ``mixdown``, ``channels``, ``swap``, ``trim``, ``pad``, ``fade``,
``trim_silence``, ``normalize``). :func:`plan_chain` tracks the rate, channel count and
length through the chain and splits it into runs of engine effects, each run natively in
one call or one native stream, and the steps between them, which run here. Every step gives
the same output for any chunking of its input, so that a stream, a streamed file and one
call over the whole buffer agree bit for bit.
"""

from .plan import (
    ChainPlan,
    ChainStream,
    EngineRun,
    StepItem,
    check_engine_rates,
    has_steps,
    plan_chain,
    process_audio,
    register_step,
    require_channels,
    run_plan,
)

__all__ = [
    "ChainPlan",
    "ChainStream",
    "EngineRun",
    "StepItem",
    "has_steps",
    "plan_chain",
    "check_engine_rates",
    "process_audio",
    "register_step",
    "require_channels",
    "run_plan",
]
