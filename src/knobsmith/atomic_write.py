"""Files replaced whole: a run killed mid-write leaves the previous version, never half of the new.

The new content goes to a temporary file of the same folder (a name of its own, so that two
writers never share one), reaches the disk, replaces the file by rename, and the folder's entry
reaches the disk too. A temporary's name holds its writer's process id: one left by a writer that
was killed is removed by the next write of the same file, one of a live writer is not.
"""

from __future__ import annotations

import contextlib
import os
import re
import tempfile


def write_atomically(path: str, data: str | bytes, *, private: bool = True) -> None:
    """Replaces the file at `path` with `data` (str as UTF-8). `private` files are the owner's
    alone (mode 0600); others get the usual mode, 0666 less the umask."""
    folder, name = os.path.split(os.path.abspath(path))
    # Mode 0600; the process id tells a killed writer's leftover from a live writer's file.
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.{os.getpid()}.", suffix=".tmp", dir=folder)
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
    _remove_stale(folder, name)
    directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def _remove_stale(folder: str, name: str) -> None:
    """Removes the temporaries of `name` whose writer has gone (killed mid-write)."""
    own = re.compile(rf"\.{re.escape(name)}\.(\d+)\.[^.]+\.tmp")
    with contextlib.suppress(OSError):
        for entry in os.listdir(folder):
            found = own.fullmatch(entry)
            if found is not None and not _alive(int(found.group(1))):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, entry))


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True  # another thread of this process may be writing
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True
    return True


def _umask() -> int:
    """The process's umask, read without setting it (os.umask would, for every thread)."""
    with contextlib.suppress(OSError, ValueError), open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    return 0o022
