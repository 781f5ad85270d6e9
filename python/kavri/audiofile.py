"""The file functions under their former module name; they live in :mod:`kavri.io`."""

from ._audio import PCM_BITS, pcm_to_float
from .io.formats import (
    CHANNEL_LIMITS,
    DEFAULT_CHANNEL_LIMIT,
    FORMATS,
    MP3_BITRATES,
    STREAM_FORMATS,
    SUBTYPES,
    check_channels,
    check_format_name,
    check_output,
    check_subtype_name,
    max_channels,
    output_format,
)
from .io.reading import AudioData, input_path, is_complete_audio_file, open_input, read
from .io.writing import DITHER_MODES, AudioWriter, WriteStats, open_output, write

__all__ = [
    "AudioData",
    "AudioWriter",
    "WriteStats",
    "read",
    "write",
    "open_output",
    "input_path",
    "open_input",
    "output_format",
    "check_subtype_name",
    "check_format_name",
    "check_output",
    "pcm_to_float",
    "PCM_BITS",
    "SUBTYPES",
    "FORMATS",
    "STREAM_FORMATS",
    "DITHER_MODES",
    "MP3_BITRATES",
    "is_complete_audio_file",
    "max_channels",
    "check_channels",
    "CHANNEL_LIMITS",
    "DEFAULT_CHANNEL_LIMIT",
]
