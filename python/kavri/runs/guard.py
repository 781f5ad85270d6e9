"""What a folder run may write: never over one of its inputs, never over a file it did not
make.

Every output is checked by its real path, with every symbolic link on the way followed,
because that is where the bytes will land: an output folder may hold a link into the inputs.
An output is refused when

- it is one of the run's inputs, by name or by being the same file;
- it is the same path as an earlier output of the run;
- its real path lies among the inputs' folder tree and a file is there that this tool did
  not write. "Did write" is judged by the file's device, inode and change time as the batch
  record kept them when it was written: a record copied along with ``cp -a`` or written by
  hand cannot make an original look like an output, since a copy or an original has an
  inode and a change time of its own.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from .._paths import shown
from .record import Record

__all__ = ["OutputGuard", "inside"]


def inside(path: str, folder: str) -> bool:
    """True if ``path`` is ``folder`` or lies below it (both absolute)."""
    return os.path.commonpath([path, folder]) == folder


class OutputGuard:
    """Decides, output by output, whether a run may write it.

    ``inputs`` are all the files of the run and ``base`` the folder they were found in;
    ``record`` the output folder's batch record.
    """

    def __init__(
        self,
        inputs: Sequence[str],
        base: str,
        record: Record,
        read: Sequence[str] = (),
        drawn: Sequence[str] = (),
    ) -> None:
        self._record = record
        self._names, self._files = _known(inputs)
        # The files the chains read (a noise, an impulse response): an output in the place
        # of one replaced it, and the files after it in the run read the output instead;
        # and the folders they draw one from, which outputs joined as the run went on.
        self._read_names, self._read_files = _known(read)
        self._drawn = [(name, os.path.realpath(name)) for name in drawn]
        self._real_base = os.path.realpath(base)
        self._claimed: dict[str, str] = {}

    def refusal(self, source: str, output: str) -> str | None:
        """Why ``output`` (for input ``source``) must not be written, or None."""
        real = os.path.realpath(output)
        earlier = self._claimed.get(real)
        if earlier is not None:
            return f"same output as {shown(earlier)}"
        self._claimed[real] = source
        named = self._names.get(os.path.abspath(output)) or self._names.get(real)
        try:
            stat = os.stat(real)
        except OSError:
            stat = None
        read = self._read_names.get(os.path.abspath(output)) or self._read_names.get(real)
        if read is None and stat is not None:
            read = self._read_files.get((stat.st_dev, stat.st_ino))
        if read is not None:
            return f"output would overwrite {shown(read)}, a file the chain reads"
        for name, folder in self._drawn:
            if inside(real, folder):
                return f"output would go into {shown(name)}, a folder the chain draws from"
        if named is None and stat is not None:
            named = self._files.get((stat.st_dev, stat.st_ino))
        if named is not None and named != source and self._in_output_folder(named):
            # A file where an output goes, that the record does not list (a record lost
            # or damaged, or a file put there by hand): taken as an input, and kept.
            return (
                f"output would overwrite the input {shown(named)}, a file in the output folder "
                f"that its batch record does not show as kavri's output; move it away or "
                f"choose another output folder"
            )
        if named is not None:
            return (
                "output would overwrite the input"
                if named == source
                else f"output would overwrite the input {shown(named)}"
            )
        if stat is not None and inside(real, self._real_base) and not self._ours(output, stat):
            shown_real = "" if real == os.path.abspath(output) else f" (really {shown(real)})"
            if self._record.get(output) is not None:
                # Listed, but not the file the record knows: changed in place (touched,
                # its mode changed), replaced, or listed by a record copied or forged;
                # which, no one can tell from here.
                return (
                    f"output would overwrite {shown(output)}{shown_real}, a file in the input "
                    f"folder that kavri did not write, or that has changed since (the batch "
                    f"record lists it); if it is kavri's output, delete it to have it made again"
                )
            return (
                f"output would overwrite {shown(output)}{shown_real}, a file in the input "
                f"folder that kavri did not write"
            )
        return None

    def _in_output_folder(self, name: str) -> bool:
        return inside(os.path.realpath(name), os.path.realpath(self._record.folder))

    def _ours(self, output: str, stat: os.stat_result) -> bool:
        entry = self._record.get(output)
        return (
            entry is not None
            and entry.get("output_dev") == stat.st_dev
            and entry.get("output_ino") == stat.st_ino
            and entry.get("output_ctime_ns") == stat.st_ctime_ns
        )


def _known(names: Sequence[str]) -> tuple[dict[str, str], dict[tuple[int, int], str]]:
    """Files by their absolute names and by their device and inode (a link or another
    spelling of one)."""
    by_name = {os.path.abspath(name): name for name in names}
    by_file: dict[tuple[int, int], str] = {}
    for name in names:
        try:
            stat = os.stat(name)
        except OSError:
            continue
        by_file[(stat.st_dev, stat.st_ino)] = name
    return by_name, by_file
