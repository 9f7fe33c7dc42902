"""A private PostgreSQL server for tests: initdb and pg_ctl in a folder of its own, on a free port
of the loopback, owned by an unprivileged user (the server refuses to run as root; as root, the
server runs as the `postgres` user that Debian's package creates).

Tests import this module as a sibling (the suite runs with --import-mode=importlib):

    HERE = str(pathlib.Path(__file__).resolve().parent)
    if HERE not in sys.path:
        sys.path.insert(0, HERE)
    from postgres_server import private_server, require_postgres

    def test_something():
        require_postgres()
        with private_server() as url:
            ...  # url: postgresql://knobsmith@127.0.0.1:PORT/fleet
            url.stop()  # an outage, until url.start()
"""

from __future__ import annotations

import contextlib
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from collections.abc import Iterator

from private_servers import free_port, require

USER = "knobsmith"
DATABASE = "fleet"
SERVER_ACCOUNT = "postgres"
COMMAND_TIMEOUT = 120.0
PROGRAMS = ("initdb", "pg_ctl", "createdb")


def bin_folder() -> str | None:
    """The folder of initdb, pg_ctl and createdb: Debian keeps them out of PATH, in
    /usr/lib/postgresql/<version>/bin (the newest is taken); elsewhere PATH has them."""
    folders = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda path: int(path.split("/")[-2]))
    found = shutil.which("initdb")
    if found:
        folders.insert(0, os.path.dirname(found))
    return next((folder for folder in reversed(folders)
                 if all(os.access(os.path.join(folder, program), os.X_OK) for program in PROGRAMS)), None)


def _missing() -> str | None:
    if bin_folder() is None:
        return "the fleet tests need a PostgreSQL server (Debian: apt-get install postgresql)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam(SERVER_ACCOUNT)
        except KeyError:
            return f"as root, the PostgreSQL server runs as the user {SERVER_ACCOUNT}, which does not exist"
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "the fleet tests need psycopg (pip install 'knobsmith[fleet]')"
    return None


def require_postgres() -> None:
    """Skips the calling test when PostgreSQL is missing; under CI that is a failure."""
    require(_missing())


def _as_server(command: list[str]) -> list[str]:
    """`command` as the server's own unprivileged user when this process is root."""
    if os.geteuid() != 0:
        return command
    return ["runuser", "-u", SERVER_ACCOUNT, "--", *command]


def _run(command: list[str]) -> None:
    done = subprocess.run(command, capture_output=True, text=True, timeout=COMMAND_TIMEOUT, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.strip() or done.stdout.strip()}")


@contextlib.contextmanager
def private_server() -> Iterator[Url]:
    """A running server with an empty database; yields its URL, stops it and removes its folder."""
    programs = bin_folder()
    assert programs is not None
    folder = tempfile.mkdtemp(prefix="knobsmith-postgres-")
    data = os.path.join(folder, "data")
    log = os.path.join(folder, "server.log")
    port = free_port()
    if os.geteuid() == 0:
        account = pwd.getpwnam(SERVER_ACCOUNT)
        os.chown(folder, account.pw_uid, account.pw_gid)
    started = False
    try:
        try:
            _run(_as_server([f"{programs}/initdb", "-D", data, "-U", USER, "--auth=trust", "--no-sync",
                             "--encoding=UTF8", "--locale=C"]))
            options = f"-p {port} -k {folder} -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=60"
            url = Url(f"postgresql://{USER}@127.0.0.1:{port}/{DATABASE}")
            url.pg_ctl = [f"{programs}/pg_ctl", "-D", data, "-l", log, "-o", options]
            url.start()
            started = True
            _run([f"{programs}/createdb", "-h", "127.0.0.1", "-p", str(port), "-U", USER, DATABASE])
        except RuntimeError as error:
            raise RuntimeError(f"{error}\n{_tail(log)}") from None
        yield url
    finally:
        if started:
            subprocess.run(_as_server([f"{programs}/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"]),
                           capture_output=True, timeout=COMMAND_TIMEOUT, check=False)
        shutil.rmtree(folder, ignore_errors=True)


class Url(str):
    """The server's URL, which also stops the server and starts it again (if stopped), on the same port."""

    pg_ctl: list[str]
    running = False

    def stop(self) -> None:
        _run(_as_server([*self.pg_ctl, "-m", "fast", "-w", "stop"]))
        self.running = False

    def start(self) -> None:
        if not self.running:
            _run(_as_server([*self.pg_ctl, "-w", "-t", "60", "start"]))
            self.running = True


def _tail(log: str) -> str:
    try:
        with open(log, encoding="utf-8", errors="replace") as stream:
            return "".join(stream.readlines()[-10:])
    except OSError:
        return ""
