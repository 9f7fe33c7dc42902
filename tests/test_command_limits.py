"""Commands StageKit runs: a signal or the time limit ends everything a command started, and a
command ended for its time counts as failed, by name."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import yaml

from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit

SCRIPT = pathlib.Path(sys.executable).parent / "knobsmith"
KNOBSMITH = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "knobsmith"]

# Starts a child that outlives a plain kill of the shell, notes the pids, and waits for it.
STARTS_A_CHILD = """\
    sleep 300 &
    echo $! > child.pid
    echo $$ > shell.pid
    wait
    """
# The same, deaf to SIGTERM (and so is its child): only SIGKILL ends them.
DEAF_TO_TERM = "trap '' TERM\n" + STARTS_A_CHILD
# Leaves at once with status 0, but a child it left behind holds the output pipes.
LEAVES_A_CHILD = """\
    sleep 300 &
    echo $! > child.pid
    echo $$ > shell.pid
    echo partial
    """


def write(folder, name, text):
    (folder / name).write_text(textwrap.dedent(text))


def gone(pid):
    """Whether no process `pid` runs (a zombie left for init to reap counts as gone)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except (FileNotFoundError, IndexError):
        return True


def pid_in(path, attempts=2000):
    for _ in range(attempts):
        if path.exists() and path.read_text().strip():
            return int(path.read_text())
        time.sleep(0.005)
    raise AssertionError(f"{path} never appeared")


def assert_all_gone(folder, within=10.0):
    pids = [pid_in(folder / name) for name in ("shell.pid", "child.pid")]
    deadline = time.monotonic() + within
    while not all(gone(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [pid for pid in pids if not gone(pid)] == []


@pytest.fixture
def machine(tmp_path, monkeypatch):
    """A current folder with one parameter p whose get and set commands are given."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(StageKit, "COMMAND_TIMEOUT", None)

    def load(get="echo 1", set="echo $value > applied", needrestart="false"):
        Cfg().yml = {"object": [{"name": "p", "info": {"get": get, "set": set, "needrestart": needrestart}}],
                     "startworkload": "", "stopworkload": ""}
        return tmp_path

    return load


@pytest.fixture
def project(tmp_path):
    """A configuration tune.yaml whose parameter mode is read by getmode.sh and set by setmode.sh."""
    (tmp_path / "mode").write_text("fast\n")
    write(tmp_path, "getmode.sh", "cat mode\n")
    write(tmp_path, "setmode.sh", 'echo "$1" > mode\n')
    config = {
        "iterations": 5, "timeout": 0, "benchmark": "true", "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "t", "info": {"get": "echo 1", "type": "negative", "target": None}}],
        "object": [{"name": "mode", "info": {"desc": "", "get": "sh getmode.sh", "set": "sh setmode.sh $value",
                                             "needrestart": "false", "type": "discrete", "dtype": "string",
                                             "options": ["fast", "safe"]}}],
    }
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state"))
    return tmp_path, env


def knobsmith(*args, cwd, env):
    return subprocess.run([*KNOBSMITH, *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=120)


@pytest.mark.parametrize(("number", "returncode"), [
    (signal.SIGINT, 130),  # KeyboardInterrupt, caught by the command line
    (signal.SIGTERM, -signal.SIGTERM),  # no handler of its own: the command line dies of it, as before
    (signal.SIGHUP, -signal.SIGHUP),
])
def test_a_signal_during_a_get_ends_the_commands_group(project, number, returncode):
    folder, env = project
    write(folder, "getmode.sh", STARTS_A_CHILD)
    process = subprocess.Popen([*KNOBSMITH, "backup", "tune.yaml"], cwd=folder, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        pid_in(folder / "child.pid")
        process.send_signal(number)
        _, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == returncode
    assert "Traceback" not in err
    assert_all_gone(folder)
    assert not (folder / "bak_tune.ini").exists()


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_the_tuner_handles_raises_interrupted_after_the_group_ended(machine, number):
    folder = machine(get="sh get.sh")
    write(folder, "get.sh", DEAF_TO_TERM)
    code = textwrap.dedent(
        """
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        from knobsmith.params import signals
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "sh get.sh"}}]}
        try:
            with signals.as_interrupts():
                StageKit().read_params()
        except signals.Interrupted as error:
            print("interrupted", error.number)
        """
    )
    process = subprocess.Popen([sys.executable, "-c", code], cwd=folder, stdout=subprocess.PIPE, text=True)
    try:
        pid_in(folder / "child.pid")
        process.send_signal(number)
        out, _ = process.communicate(timeout=30)
    finally:
        process.kill()
    assert out.split() == ["interrupted", str(int(number))]
    assert_all_gone(folder, within=1.0)  # ended (by SIGKILL, after the grace) before the exception


@pytest.mark.parametrize(
    ("script", "output"),
    [(STARTS_A_CHILD, ""), (DEAF_TO_TERM, ""), (LEAVES_A_CHILD, "partial")],
    ids=["waits", "deaf-to-term", "shell-left-with-0"],
)
def test_records_of_commands_ended_for_their_time(machine, monkeypatch, script, output):
    folder = machine(get="sh slow.sh", set="sh slow.sh $value")
    write(folder, "slow.sh", script)
    monkeypatch.setattr(StageKit, "COMMAND_TIMEOUT", 0.5)
    reading = StageKit().read_params()["p"]
    assert_all_gone(folder, within=1.0)
    assert reading["timed_out"] is True and reading["status"] < 0
    assert (reading["value"], reading["error"]) == (None, "timed out after 0.5 s")
    for name in ("shell.pid", "child.pid"):
        (folder / name).unlink()
    [record] = StageKit().apply_params({"p": 7})
    assert_all_gone(folder, within=1.0)
    assert record["timed_out"] is True and record["status"] < 0
    assert (record["output"], record["error"]) == (output, "timed out after 0.5 s")


def test_a_command_within_its_time_is_untouched(machine, monkeypatch):
    folder = machine(get="echo 5", set="sh set.sh $value")
    write(folder, "set.sh", "echo \"$1\" > applied\necho said >&2\nexit 3\n")
    monkeypatch.setattr(StageKit, "COMMAND_TIMEOUT", 30)
    assert StageKit().read_params()["p"] == {"command": "echo 5", "refused": False, "status": 0, "timed_out": False,
                                             "value": "5", "error": ""}
    [record] = StageKit().apply_params({"p": 2})
    assert (record["status"], record["timed_out"], record["error"]) == (3, False, "said")
    assert (folder / "applied").read_text() == "2\n"


def test_get_params_and_set_params_treat_a_timed_out_command_as_failed(machine, monkeypatch, errors):
    folder = machine(get="sh slow.sh", set="sh slow.sh $value")
    write(folder, "slow.sh", STARTS_A_CHILD)
    monkeypatch.setattr(StageKit, "COMMAND_TIMEOUT", 0.25)
    assert StageKit().get_params() == {}
    StageKit().set_params({"p": 1})
    assert errors() == ["run script failed: p: the get command timed out after 0.25 s",
                        "params set cmd failed: p (timed out after 0.25 s)"]
    assert_all_gone(folder, within=1.0)


def test_no_limit_by_default(machine):
    folder = machine(get="sh late.sh")
    write(folder, "late.sh", "sleep 0.3\necho late\n")
    assert StageKit.COMMAND_TIMEOUT is None
    assert StageKit().get_params() == {"p": "late"}


@pytest.mark.parametrize("limit", [0, -1, float("nan"), "soon"])
def test_a_limit_that_is_not_a_positive_number_is_refused(machine, monkeypatch, limit):
    machine()
    monkeypatch.setattr(StageKit, "COMMAND_TIMEOUT", limit)
    with pytest.raises((ValueError, TypeError)):
        StageKit().read_params()


@pytest.mark.parametrize(
    "command, last_line",
    [("backup", "knobsmith: no value could be read, so no backup was written"), ("tune", None)],
)
def test_a_get_past_the_limit_names_the_parameter(project, command, last_line):
    folder, env = project
    write(folder, "getmode.sh", STARTS_A_CHILD)
    result = knobsmith(command, "tune.yaml", "--command-timeout", "1", cwd=folder, env=env)
    assert result.returncode == 1
    assert "mode could not be read: the get command timed out after 1 s" in result.stderr
    assert last_line is None or result.stderr.splitlines()[-1] == last_line
    assert_all_gone(folder, within=1.0)


def test_apply_with_a_set_that_hangs_names_the_parameter(project):
    folder, env = project
    write(folder, "setmode.sh", STARTS_A_CHILD)
    result = knobsmith("apply", "tune.yaml", "mode=safe", "--command-timeout", "1", cwd=folder, env=env)
    assert result.returncode == 1
    assert "knobsmith: mode: the set command timed out after 1 s" in result.stderr.splitlines()
    assert_all_gone(folder, within=1.0)


def run_on_a_terminal(argv, cwd, env, within=60.0):
    """Runs `argv` with a pseudo-terminal as its controlling terminal; its exit status and output."""
    import pty

    pid, master = pty.fork()
    if pid == 0:  # pragma: no cover - the child execs at once
        os.chdir(cwd)
        os.execvpe(argv[0], argv, env)
    output = b""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the child closed its side
            break
        if not chunk:
            break
        output += chunk
    os.close(master)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), output.decode(errors="replace")


def test_a_command_that_asks_the_terminal_fails_at_once(project):
    # Run from a terminal, a command asking there for a password would stop in its background
    # group until the time limit; without a terminal it fails at once with its own message.
    folder, env = project
    write(folder, "getmode.sh", "test -t 0 && echo 'stdin is the terminal' >&2\nread answer < /dev/tty\necho $answer\n")
    started = time.monotonic()
    status, output = run_on_a_terminal([*KNOBSMITH, "backup", "tune.yaml", "--command-timeout", "30"], folder, env)
    assert time.monotonic() - started < 15
    assert status == 1 and "/dev/tty" in output and "timed out" not in output, output
    assert "stdin is the terminal" in output  # it did run from one


# Counts its runs in the file `runs`; the second (the first trial's, after the baseline's) starts a
# child and waits for it.
HANGS_ONCE = """\
runs=$(( $(cat runs 2>/dev/null || echo 0) + 1 ))
echo $runs > runs
if [ $runs -eq 2 ]; then sleep 300 & echo $! > child.pid; echo $$ > shell.pid; wait; fi
"""


@pytest.mark.parametrize(("hanging", "settings", "args", "note", "stopped"), [
    ("bench.sh", {}, ["--benchmark-timeout", "1"], "the benchmark timed out after 1 s",
     "the budget of 3 trials is spent"),
    ("metric.sh", {}, ["--command-timeout", "1"], "the metric's command timed out after 1 s",
     "the budget of 3 trials is spent"),
    # The get commands' limit is not the benchmark's: the time budget ends it, and then the run.
    ("bench.sh", {"timeout": 2}, ["--command-timeout", "1"], "when the run's time budget (2 s) ran out",
     "the time budget of 2 s is spent; no trial completed"),
], ids=["benchmark-limit", "metric-limit", "time-budget"])
def test_a_trial_whose_benchmark_or_metric_hangs_fails_with_its_group_ended(knob_workload, tmp_path, hanging,
                                                                            settings, args, note, stopped):
    folder = knob_workload(iterations=3, evaluations=[
        {"name": "score", "info": {"get": "sh metric.sh", "type": "positive", "target": None}}], **settings)
    (folder / "metric.sh").write_text("cat score\n")
    (folder / hanging).write_text(HANGS_ONCE + (folder / hanging).read_text())
    result = knobsmith("tune", "tune.yaml", "--confirm", "0", "--report", "report", *args, cwd=folder,
                       env=dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state")))
    assert f"stopped: {stopped}" in result.stdout, result.stderr
    assert result.returncode == (1 if "no trial completed" in stopped else 0)
    first = (folder / "report" / "trials.csv").read_text().splitlines()[1]
    assert ",FAIL," in first and note in first
    assert_all_gone(folder, within=1.0)
