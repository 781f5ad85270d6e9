"""Audio files: reading, writing, the formats they take, and atomic output.

In memory, audio is a (frames, channels) float32 array. :mod:`.formats` says what each
container holds, :mod:`.reading` opens inputs (spooling those that cannot seek) and reads
them whole or in blocks, :mod:`.writing` writes them whole or chunk by chunk,
:mod:`.fixups` makes libsndfile's output reproducible, and :mod:`.atomic` puts a file in
place only once it is complete. The path "-" stands for standard input or standard output.
"""

from .._audio import PCM_BITS, as_frames, pcm_to_float
from .atomic import atomic_output, is_temporary, remove_stale_temporaries
from .formats import (
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
from .reading import (
    AudioData,
    BlockReader,
    ShortFileWarning,
    StopRequest,
    input_path,
    is_complete_audio_file,
    open_input,
    read,
)
from .streams import check_standard_streams
from .writing import DITHER_MODES, AudioWriter, ContainerWarning, WriteStats, open_output, write

__all__ = [
    "AudioData",
    "AudioWriter",
    "BlockReader",
    "CHANNEL_LIMITS",
    "ContainerWarning",
    "DEFAULT_CHANNEL_LIMIT",
    "DITHER_MODES",
    "FORMATS",
    "MP3_BITRATES",
    "PCM_BITS",
    "STREAM_FORMATS",
    "SUBTYPES",
    "ShortFileWarning",
    "StopRequest",
    "WriteStats",
    "as_frames",
    "atomic_output",
    "check_channels",
    "check_format_name",
    "check_output",
    "check_standard_streams",
    "check_subtype_name",
    "input_path",
    "is_complete_audio_file",
    "is_temporary",
    "max_channels",
    "open_input",
    "open_output",
    "output_format",
    "pcm_to_float",
    "read",
    "remove_stale_temporaries",
    "write",
]
