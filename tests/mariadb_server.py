"""A private MariaDB server for tests, run through the shipped example's examples/mariadb/ctl.sh.

Tests import this module as a sibling (the suite runs with --import-mode=importlib, which puts no
test folder on sys.path):

    HERE = str(pathlib.Path(__file__).resolve().parent)
    if HERE not in sys.path:
        sys.path.insert(0, HERE)
    from mariadb_server import private_server, require_mariadb

    def test_something(tmp_path):
        require_mariadb()
        with private_server(tmp_path / "db") as server:
            subprocess.run(["knobsmith", "tune", ...], env=server.env, cwd=server.repo)
            assert server.sql("SELECT @@GLOBAL.table_open_cache") == "2000"
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import time
from collections.abc import Iterator

from private_servers import free_port, require  # noqa: F401 - free_port is this module's too

REPO = pathlib.Path(__file__).resolve().parent.parent
CTL = REPO / "examples" / "mariadb" / "ctl.sh"
PROGRAMS = ("mariadbd", "mariadb-install-db", "mariadb", "mariadb-admin", "sysbench")
# mariadbd lives in sbin, which an ordinary user's PATH often leaves out; ctl.sh adds these too.
SBIN = ("/usr/local/sbin", "/usr/sbin", "/sbin")
COMMAND_TIMEOUT = 300.0


def missing_programs() -> list[str]:
    path = os.pathsep.join([os.environ.get("PATH", os.defpath), *SBIN])
    return [program for program in PROGRAMS if shutil.which(program, path=path) is None]


def require_mariadb() -> None:
    """Skips the calling test when the MariaDB programs are missing; under CI that is a failure."""
    missing = missing_programs()
    require(None if not missing else f"the MariaDB example needs {', '.join(missing)} "
            "(Debian: apt-get install mariadb-server mariadb-client sysbench)")


def server_pids(folder: pathlib.Path) -> list[int]:
    """Every live mariadbd that runs on this folder's option file, whoever started it."""
    marker = f"--defaults-file={folder}/my.cnf".encode()
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            arguments = (entry / "cmdline").read_bytes().split(b"\0")
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            continue
        if marker in arguments and state != "Z":
            pids.append(int(entry.name))
    return pids


class Server:
    """A private server: its folder, the environment that points ctl.sh (and knobsmith) at it, its log."""

    def __init__(self, folder: pathlib.Path, env: dict[str, str]) -> None:
        self.folder = folder
        self.env = env
        self.repo = REPO
        self.log = folder / "server.log"
        self.process: subprocess.Popen[bytes] | None = None

    def ctl(self, *args: str, check: bool = True) -> subprocess.CompletedProcess[str]:
        """Runs examples/mariadb/ctl.sh with this server's environment."""
        result = subprocess.run(["sh", str(CTL), *args], capture_output=True, text=True, env=self.env, cwd=REPO,
                                timeout=COMMAND_TIMEOUT)
        if check and result.returncode != 0:
            raise RuntimeError(f"ctl.sh {' '.join(args)} exited with {result.returncode}: "
                               f"{result.stderr.strip() or result.stdout.strip()}")
        return result

    def sql(self, query: str) -> str:
        """The result of a query, tab-separated, without column names or the last line break."""
        return self.ctl("sql", query).stdout.rstrip("\n")

    def start(self, timeout: float = 120.0) -> None:
        """Starts mariadbd as a child process (its output appended to .log) and waits until it answers."""
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(["sh", str(CTL), "start"], stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=self.env, cwd=REPO,
                                            start_new_session=True)
        deadline = time.monotonic() + timeout
        while self.ctl("ping", check=False).returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                tail = self.log.read_text(errors="replace")[-3000:]
                raise RuntimeError(f"the MariaDB server in {self.folder} did not come up; its log ends:\n{tail}")
            time.sleep(0.1)

    def stop(self) -> None:
        """Stops whichever server runs on this folder (ours, or one a tuner restarted) and reaps ours."""
        try:
            self.ctl("stop", check=False)
        finally:
            if self.process is not None:
                try:
                    self.process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    with contextlib.suppress(ProcessLookupError):
                        os.killpg(self.process.pid, signal.SIGKILL)
                    self.process.wait()
                self.process = None
            self._kill_leftovers()

    def restart(self) -> None:
        self.stop()
        self.start()

    def _kill_leftovers(self) -> None:
        for pid in server_pids(self.folder):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 30
        while server_pids(self.folder) and time.monotonic() < deadline:
            time.sleep(0.05)


@contextlib.contextmanager
def private_server(folder: os.PathLike[str] | str, bench_seconds: int = 1) -> Iterator[Server]:
    """A MariaDB server of its own in `folder` (created when missing): on a free port of 127.0.0.1,
    with the example's sysbench tables, running until the block ends; then no process of it is left.

    `.env` holds KNOBSMITH_MARIADB_DIR, KNOBSMITH_MARIADB_PORT and KNOBSMITH_MARIADB_BENCH_SECONDS
    (a short benchmark by default), for knobsmith and ctl.sh alike."""
    require_mariadb()
    path = pathlib.Path(folder).resolve()
    path.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, KNOBSMITH_MARIADB_DIR=str(path), KNOBSMITH_MARIADB_PORT=str(free_port()),
               KNOBSMITH_MARIADB_BENCH_SECONDS=str(bench_seconds))
    server = Server(path, env)
    try:
        server.ctl("init")
        server.start()
        yield server
    finally:
        server.stop()
