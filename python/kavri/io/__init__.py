"""Audio files: reading, writing, the formats they take, and atomic output.

In memory, audio is a (frames, channels) float32 array. :mod:`.formats` says what each
container holds, :mod:`.reading` opens inputs (streaming WAV and raw PCM from pipes,
spooling what cannot be read in order) and reads them whole or in blocks,
:mod:`.decoding` decodes what libsndfile cannot read through PyAV, :mod:`.pipes` reads and
writes WAV and raw streams, :mod:`.tags` carries tags, :mod:`.writing` writes audio whole
or chunk by chunk, :mod:`.fixups` makes libsndfile's output reproducible, and
:mod:`.atomic` puts a file in place only once it is complete. The path "-" stands for
standard input or standard output.
"""

from .._audio import PCM_BITS, as_frames, pcm_to_float
from .atomic import atomic_output, is_temporary, output_target, remove_stale_temporaries
from .channel_order import source_layout
from .decoding import DECODED_FORMATS, DecodedSource, decoded_suffixes
from .formats import (
    CHANNEL_LIMITS,
    DEFAULT_CHANNEL_LIMIT,
    FORMATS,
    KEEP_SUBTYPE,
    MP3_BITRATES,
    RAW_SUBTYPES,
    SNDFILE_READ,
    STREAM_FORMATS,
    SUBTYPES,
    check_channels,
    check_format_name,
    check_output,
    check_subtype_name,
    counted_size,
    max_channels,
    mp3_bitrate,
    output_format,
    readable_suffixes,
    resolve_subtype,
)
from .pipes import ENCODINGS, RawFormat, encoding_of_subtype
from .reading import (
    AudioData,
    AudioSource,
    BlockReader,
    OpenedInput,
    ShortFileWarning,
    StopRequest,
    count_if_large,
    input_path,
    is_complete_audio_file,
    open_input,
    open_source,
    read,
)
from .streams import check_standard_streams
from .tags import COMMON_KEYS, TAG_CONTAINERS, check_tags, read_tags
from .writing import DITHER_MODES, AudioWriter, ContainerWarning, WriteStats, open_output, write

__all__ = [
    "AudioData",
    "AudioSource",
    "COMMON_KEYS",
    "DECODED_FORMATS",
    "DecodedSource",
    "ENCODINGS",
    "KEEP_SUBTYPE",
    "OpenedInput",
    "RAW_SUBTYPES",
    "SNDFILE_READ",
    "RawFormat",
    "TAG_CONTAINERS",
    "check_tags",
    "decoded_suffixes",
    "encoding_of_subtype",
    "open_source",
    "read_tags",
    "readable_suffixes",
    "resolve_subtype",
    "source_layout",
    "AudioWriter",
    "BlockReader",
    "CHANNEL_LIMITS",
    "ContainerWarning",
    "DEFAULT_CHANNEL_LIMIT",
    "DITHER_MODES",
    "FORMATS",
    "MP3_BITRATES",
    "mp3_bitrate",
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
    "counted_size",
    "count_if_large",
    "input_path",
    "output_target",
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
