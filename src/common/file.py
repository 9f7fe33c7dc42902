"""Opening output files without following links planted by others."""

from __future__ import annotations

import errno
import os
import stat


def open_trusted_dir(path: str | os.PathLike[str]) -> int:
    """Open a directory that only its owner (the caller or root) can change; return its descriptor.

    A final symbolic link is not followed. A directory writable by group or others without the
    sticky bit, or owned by someone else, is refused with OSError.
    """
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        shared = info.st_mode & (stat.S_IWGRP | stat.S_IWOTH)
        if shared and not info.st_mode & stat.S_ISVTX:
            raise OSError(errno.EPERM, "directory is writable by group or others", os.fspath(path))
        if info.st_uid not in (os.geteuid(), 0):
            raise OSError(errno.EPERM, "directory belongs to another user", os.fspath(path))
    except BaseException:
        os.close(fd)
        raise
    return fd


def open_write_file(dir_fd: int, name: str, mode: int = 0o600) -> int:
    """Create or truncate the regular file `name` in the directory `dir_fd` for writing.

    A symbolic link in its place is refused, and the file ends with exactly `mode`, whatever the
    umask or the mode it had before. Returns the file's descriptor.
    """
    if not name or "/" in name or name in (".", ".."):
        raise OSError(errno.EINVAL, "not a plain file name", name)
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
    fd = os.open(name, flags, mode, dir_fd=dir_fd)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", name)
        os.set_blocking(fd, True)
        os.fchmod(fd, mode)
    except BaseException:
        os.close(fd)
        raise
    return fd
