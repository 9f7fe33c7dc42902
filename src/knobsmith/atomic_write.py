"""Files replaced whole: a run killed mid-write leaves the previous version, never half of the new.

The new content goes to a temporary file of the same folder (a name of its own, so that two
writers never share one), reaches the disk, replaces the file by rename, and the folder's entry
reaches the disk too.
"""

from __future__ import annotations

import contextlib
import os
import tempfile


def write_atomically(path: str, data: str | bytes, *, private: bool = True) -> None:
    """Replaces the file at `path` with `data` (str as UTF-8). `private` files are the owner's
    alone (mode 0600); others get the usual mode, 0666 less the umask."""
    folder, name = os.path.split(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)  # mode 0600
    try:
        with os.fdopen(descriptor, "wb") as stream:
            if not private:
                os.fchmod(stream.fileno(), 0o666 & ~_umask())
            stream.write(data.encode("utf-8") if isinstance(data, str) else data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def _umask() -> int:
    """The process's umask, read without setting it (os.umask would, for every thread)."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    return 0o022
