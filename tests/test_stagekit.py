import configparser
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import knobsmith.stagekit as stagekit
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit


def parameter(name, get="echo 1", set="echo $value >> applied", needrestart="false"):
    return {"name": name, "info": {"get": get, "set": set, "needrestart": needrestart}}


@pytest.fixture
def machine(tmp_path, monkeypatch):
    """A reader holding the given parameters, in a temporary current folder."""
    monkeypatch.chdir(tmp_path)

    def load(*objects, start="", stop="", project="demo"):
        cfg = Cfg()
        cfg.yml = {"object": list(objects), "startworkload": start, "stopworkload": stop}
        cfg.project = project
        return tmp_path

    return load


def script(folder, name, text):
    (folder / name).write_text(textwrap.dedent(text))
    return f"sh {name}"


REFUSED_GET = "params get cmd 包含非法 shell 元字符，跳过: {}"
REFUSED_SET = "params set cmd 包含非法 shell 元字符，跳过: {}"


def test_values_are_read_in_order_and_stripped(machine, log_lines):
    machine(parameter("vm.swappiness", "echo 60"), parameter("scheduler", "echo ' deadline '"),
            parameter("tabs", "printf '\\t\\v x y \\r\\n'"))
    assert list(StageKit().get_params().items()) == [("vm.swappiness", "60"), ("scheduler", "deadline"), ("tabs", "x y")]
    assert log_lines() == []


@pytest.mark.parametrize("command", ["echo 1; echo 2", "echo $(id)", "cat a && cat b", "echo 1\x00"])
def test_refused_get_commands_are_skipped_by_name(machine, errors, command):
    machine(parameter("first", "echo 1"), parameter("bad", command), parameter("last", "echo 3"))
    assert StageKit().get_params() == {"first": "1", "last": "3"}
    assert errors() == [REFUSED_GET.format("bad")]


def test_error_output_discards_everything_read(machine, log_lines):
    machine(parameter("first", "echo 1"), parameter("broken", "cat missing-file"), parameter("never", "echo x > ran"))
    assert StageKit().get_params() == {}
    assert log_lines() == [("ERROR", "run script failed: cat: missing-file: No such file or directory")]
    assert not os.path.exists("ran")


def test_error_output_that_is_not_utf8_is_shown_with_replacements(machine, errors):
    machine(parameter("p", "printf ' \\377oops\\n' >&2"))
    assert StageKit().get_params() == {}
    assert errors() == ["run script failed: \ufffdoops"]


def test_a_value_that_is_not_utf8_fails_the_reading(machine, errors):
    machine(parameter("p", "printf '\\377'"))
    assert StageKit().get_params() == {}
    assert errors() == ["run script failed: "]


def test_exit_status_is_not_examined_and_empty_output_warns(machine, log_lines):
    folder = machine(parameter("failing", "sh fail.sh"), parameter("silent", "exit 1"), parameter("quiet", "true"))
    script(folder, "fail.sh", """\
        echo 5
        exit 1
        """)
    assert StageKit().get_params() == {"failing": "5", "silent": "", "quiet": ""}
    assert log_lines() == [("WARNING", "cannot get silent"), ("WARNING", "cannot get quiet")]


def test_a_command_that_is_not_text_is_a_type_error(machine):
    machine(parameter("p", 5))
    with pytest.raises(TypeError):
        StageKit().get_params()


def test_no_complaint_from_a_closed_pipe(machine, log_lines):
    # The interpreter ignores SIGPIPE; the command must not inherit that.
    machine(parameter("y", "yes | head -n 1"))
    assert StageKit().get_params() == {"y": "y"}
    assert log_lines() == []


def test_child_signal_state_and_descriptors(machine):
    keep = os.open(os.devnull, os.O_RDONLY)
    os.set_inheritable(keep, True)
    try:
        machine(parameter("sig", "grep -E '^Sig(Ign|Blk)' /proc/self/status"), parameter("fds", "ls /proc/$$/fd"))
        values = StageKit().get_params()
    finally:
        os.close(keep)
    status = dict(line.split(":\t") for line in values["sig"].splitlines())
    ignored = int(status["SigIgn"], 16)
    assert not ignored & (1 << (signal.SIGPIPE - 1)) and not ignored & (1 << (signal.SIGXFSZ - 1))
    assert int(status["SigBlk"], 16) == 0
    assert str(keep) not in values["fds"].split()


BACKUP = "[params]\n{params}\n[set]\n{set}\n"


def test_backup_file_layout(machine):
    folder = machine(
        parameter("VM.Swappiness", "echo 60", "sysctl -w vm.swappiness=$value"),
        parameter("banner", "printf 'two\\nlines'", 'echo "$value" 100% > banner'),
        parameter("empty", "true", "echo $value"),
    )
    current = StageKit().backup_params()
    assert current == {"VM.Swappiness": "60", "banner": "two\nlines", "empty": ""}
    assert (folder / "bak_demo.ini").read_bytes() == (
        b"[params]\n"
        b"vm.swappiness = 60\n"
        b"banner = two\n\tlines\n"
        b"empty = \n"
        b"\n"
        b"[set]\n"
        b'set_vm.swappiness = "sysctl -w vm.swappiness=$value"\n'
        b'set_banner = "echo "$value" 100%% > banner"\n'
        b'set_empty = "echo $value"\n'
        b"\n"
    )
    reread = configparser.ConfigParser()
    reread.read(folder / "bak_demo.ini", encoding="utf-8")
    assert dict(reread["params"]) == {"vm.swappiness": "60", "banner": "two\nlines", "empty": ""}
    assert reread["set"]["set_banner"] == '"echo "$value" 100% > banner"'
    assert sorted(os.listdir(folder)) == ["bak_demo.ini"]


def test_backup_returns_what_was_read_and_replaces_the_earlier_file(machine):
    folder = machine(parameter("p", "echo 1"))
    (folder / "bak_demo.ini").write_text("old backup of another length\n")
    kit = StageKit()
    first = kit.backup_params()
    assert first == {"p": "1"}
    assert (folder / "bak_demo.ini").read_text() == BACKUP.format(params="p = 1\n", set='set_p = "echo $value >> applied"\n')


def test_nothing_read_means_no_backup(machine, errors):
    folder = machine(parameter("p", "echo oops >&2"))
    assert StageKit().backup_params() == {}
    assert not (folder / "bak_demo.ini").exists()


@pytest.mark.parametrize(
    "names",
    [("Swap", "swap"), ("", "x"), ("a = b",), ("eth0:mtu",), ("[section]",), ("two\nlines",), (" padded",), ("#note",)],
)
def test_names_that_cannot_be_written_keep_the_earlier_backup(machine, names):
    folder = machine(*[parameter(name) for name in names])
    (folder / "bak_demo.ini").write_text("earlier\n")
    with pytest.raises(ValueError, match="cannot be written|appears twice"):
        StageKit().backup_params()
    assert (folder / "bak_demo.ini").read_text() == "earlier\n"
    assert os.listdir(folder) == ["bak_demo.ini"]


def test_a_failed_write_keeps_the_earlier_backup(tmp_path):
    # Root may write anywhere, so the failure comes from a file size limit in a child process.
    (tmp_path / "bak_demo.ini").write_text("earlier\n")
    code = textwrap.dedent(
        """
        import resource
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "head -c 300 /dev/zero | tr '\\\\0' a", "set": "s", "needrestart": "false"}}]}
        Cfg().project = "demo"
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
        try:
            StageKit().backup_params()
        except OSError as error:
            print(type(error).__name__, error.errno)
        """
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.stdout.strip() == "OSError 27", result.stderr  # EFBIG
    assert os.listdir(tmp_path) == ["bak_demo.ini"]
    assert (tmp_path / "bak_demo.ini").read_text() == "earlier\n"


def test_set_commands_run_in_order_with_the_value_filled_in(machine, errors):
    folder = machine(
        parameter("a", set="echo a=$value >> applied"),
        parameter("b", set="echo b=$value/$value >> applied"),
        parameter("c", set="echo c-fixed >> applied"),
        parameter("d", set="echo d=$value >> applied"),
    )
    assert StageKit().set_params({"d": 0.00001, "a": 1.5, "b": True, "c": "x"}) is None
    assert (folder / "applied").read_text() == "d=1e-05\na=1.5\nb=True/True\nc-fixed\n"
    assert errors() == []


def test_a_value_carrying_a_metacharacter_refuses_its_own_command(machine, errors):
    folder = machine(parameter("a", set="echo a=$value >> applied", needrestart="true"), parameter("b"),
                     start="echo start >> applied", stop="echo stop >> applied")
    StageKit().set_params({"a": "1; touch pwned", "b": 2})
    assert (folder / "applied").read_text() == "2\n"
    assert errors() == [REFUSED_SET.format("a")]
    assert not (folder / "pwned").exists()


def test_restart_stops_then_starts_in_the_background(machine):
    folder = machine(parameter("a", set="echo a >> applied"), parameter("b", set="echo b >> applied", needrestart="true"),
                     parameter("c", set="echo c >> applied"), start="sh start.sh", stop="echo stop >> applied")
    script(folder, "start.sh", """\
        echo start >> applied
        echo $$ > workload.pid
        exec sleep 30
        """)
    StageKit().set_params({"a": 1, "b": 2, "c": 3})
    # The call has returned; the workload it started is still running.
    pid = int(wait_for(folder / "workload.pid"))
    try:
        assert os.path.exists(f"/proc/{pid}")
        assert (folder / "applied").read_text() == "a\nb\nc\nstop\nstart\n"
    finally:
        os.kill(pid, signal.SIGKILL)


def wait_for(path, attempts=2000):
    for _ in range(attempts):
        if path.exists() and path.read_text().strip():
            return path.read_text()
        threading.Event().wait(0.005)
    raise AssertionError(f"{path} never appeared")


@pytest.mark.parametrize(
    "objects, values",
    [
        ([parameter("a", needrestart="false")], {"a": 1}),
        ([parameter("a", needrestart="True")], {"a": 1}),
        ([parameter("a", set="echo $value; echo x", needrestart="true")], {"a": 1}),
        ([parameter("a", needrestart="true")], {}),
    ],
)
def test_no_restart(machine, objects, values):
    folder = machine(*objects, start="echo start >> restarted", stop="echo stop >> restarted")
    StageKit().set_params(values)
    assert not (folder / "restarted").exists()


def test_unsafe_workload_commands_skip_the_restart(machine, errors):
    folder = machine(parameter("a", needrestart="true"), start="echo start >> restarted", stop="a && b")
    StageKit().set_params({"a": 7})
    assert (folder / "applied").read_text() == "7\n"
    assert not (folder / "restarted").exists()
    assert errors() == ["workload stop/start 包含非法 shell 元字符，跳过 restart"]


def test_an_unknown_name_runs_nothing(machine):
    folder = machine(parameter("a", needrestart="true"), start="echo start >> restarted")
    with pytest.raises(KeyError) as raised:
        StageKit().set_params({"a": 1, "ghost": 2})
    assert raised.value.args == ("ghost",)
    assert os.listdir(folder) == []


def test_empty_workload_commands_are_no_operations(machine):
    folder = machine(parameter("a", needrestart="true"))
    StageKit().set_params({"a": 1})
    assert (folder / "applied").read_text() == "1\n"


def test_plenty_of_output_on_both_streams(machine):
    folder = machine(parameter("big", set="sh big.sh"))
    script(folder, "big.sh", """\
        head -c 52428800 /dev/zero >&2
        head -c 52428800 /dev/zero
        echo done > finished
        """)
    StageKit().set_params({"big": 1})
    assert (folder / "finished").read_text() == "done\n"


def test_no_descriptor_leak_and_no_zombie_after_many_commands(machine, leftovers):
    machine(*[parameter(f"p{i}", f"echo {i}") for i in range(500)])
    before = leftovers()
    values = StageKit().get_params()
    assert len(values) == 500 and values["p499"] == "499"
    assert leftovers() == (before[0], [])


def test_the_interpreter_lock_is_free_while_a_command_runs(machine):
    folder = machine(parameter("gate", "sh gate.sh"))
    script(folder, "gate.sh", """\
        echo yes > started
        i=0
        while [ ! -f flag ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
        if [ -f flag ]; then echo seen; else echo timeout; fi
        """)

    def open_the_gate():
        wait_for(folder / "started")
        (folder / "flag").touch()

    helper = threading.Thread(target=open_the_gate)
    helper.start()
    values = StageKit().get_params()
    helper.join()
    assert values == {"gate": "seen"}


def test_ctrl_c_kills_and_reaps_the_command(tmp_path):
    (tmp_path / "sleeper.sh").write_text('echo $$ > command.pid\nexec sleep 60\n')
    code = textwrap.dedent(
        """
        import os
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "exec sh sleeper.sh"}}]}
        try:
            StageKit().get_params()
        except KeyboardInterrupt:
            pid = int(open("command.pid").read())
            print("interrupted", os.path.exists(f"/proc/{pid}"))
        """
    )
    process = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.PIPE, text=True)
    try:
        wait_for(tmp_path / "command.pid")
        process.send_signal(signal.SIGINT)
        out, _ = process.communicate(timeout=30)
    finally:
        process.kill()
    assert out.strip() == "interrupted False"


def test_the_shell_and_the_reader_are_looked_up_at_each_call(machine, monkeypatch):
    machine(parameter("p", "echo $0"))
    monkeypatch.setattr(StageKit, "BASH", "/bin/bash")
    assert StageKit().get_params() == {"p": "/bin/bash"}

    class OtherReader:
        def get_params_get_script(self):
            return {"q": {"get": "echo other"}}

    monkeypatch.setattr(stagekit, "Cfg", OtherReader)
    assert StageKit().get_params() == {"q": "other"}


def test_a_shell_that_cannot_start_is_an_os_error(machine, monkeypatch):
    machine(parameter("p"))
    monkeypatch.setattr(StageKit, "BASH", "/nonexistent/sh")
    with pytest.raises(FileNotFoundError):
        StageKit().get_params()


@pytest.mark.parametrize(
    "body, line",
    [
        ("echo 'bad value' >&2\necho more >&2\nexit 3", "params set cmd failed: p (exit status 3): bad value"),
        ("printf '\\n  first \\r\\nsecond' >&2\nexit 1", "params set cmd failed: p (exit status 1): first"),
        ("printf '\\377x\\n' >&2\nexit 1", "params set cmd failed: p (exit status 1): \ufffdx"),
        ("echo only output\nexit 4", "params set cmd failed: p (exit status 4)"),
        ("printf ' \\n\\t' >&2\nexit 5", "params set cmd failed: p (exit status 5)"),
        ("echo dying >&2\nkill -9 $$", "params set cmd failed: p (killed by signal 9): dying"),
    ],
)
def test_a_failed_set_command_is_logged_with_how_it_ended(machine, errors, body, line):
    folder = machine(parameter("p", set="exec sh fail.sh"), parameter("ok", set="echo complaint >&2"))
    script(folder, "fail.sh", body + "\n")
    StageKit().set_params({"p": 1, "ok": 2})
    assert errors() == [line]


def test_a_failed_set_still_restarts_and_the_workload_commands_are_not_judged(machine, errors):
    folder = machine(parameter("a", set="sh fail.sh", needrestart="true"), parameter("b", set="echo $value"),
                     stop="sh fail.sh", start="sh start.sh")
    script(folder, "fail.sh", "echo ran >> ran\nexit 1\n")
    script(folder, "start.sh", "echo started > started\n")
    StageKit().set_params({"a": 1, "b": "x;y"})
    assert wait_for(folder / "started") == "started\n"
    assert (folder / "ran").read_text() == "ran\nran\n"  # the set command, then stop
    assert errors() == ["params set cmd failed: a (exit status 1)", REFUSED_SET.format("b")]


def applied(name, value, command, status, output="", error="", needrestart=False):
    refused = status is None
    return {"name": name, "value": value, "command": command, "refused": refused, "status": status,
            "timed_out": False, "output": output, "error": error, "needrestart": needrestart}


def test_apply_params_reports_each_command_and_logs_nothing(machine, log_lines):
    folder = machine(
        parameter("fails", set="sh fail.sh $value", needrestart="true"),
        parameter("killed", set="kill -9 $$", needrestart="True"),
        parameter("refused", set="echo $value >> applied", needrestart="true"),
        parameter("talks", set="printf ' %s \\n' $value", needrestart="false"),
        start="echo start >> restarted", stop="echo stop >> restarted",
    )
    script(folder, "fail.sh", "echo \"$1\" >> applied\nprintf ' no\\n way \\n' >&2\nexit 2\n")
    records = StageKit().apply_params({"talks": 1.5, "refused": "1; touch pwned", "killed": 0, "fails": True})
    assert records == [
        applied("talks", 1.5, "printf ' %s \\n' 1.5", 0, output="1.5"),
        applied("refused", "1; touch pwned", "echo 1; touch pwned >> applied", None, needrestart=True),
        applied("killed", 0, "kill -9 $$", -signal.SIGKILL),
        applied("fails", True, "sh fail.sh True", 2, error="no\n way", needrestart=True),
    ]
    assert (folder / "applied").read_text() == "True\n"
    assert sorted(os.listdir(folder)) == ["applied", "fail.sh"]
    assert log_lines() == []


def test_apply_params_checks_every_name_before_running_any(machine):
    folder = machine(parameter("a"))
    with pytest.raises(KeyError) as raised:
        StageKit().apply_params({"a": 1, "ghost": 2})
    assert raised.value.args == ("ghost",)
    assert os.listdir(folder) == []


def reading(command, status, value="", error=""):
    return {"command": command, "refused": status is None, "status": status, "timed_out": False, "value": value,
            "error": error}


def test_read_params_reads_each_parameter_on_its_own(machine, log_lines):
    folder = machine(
        parameter("first", "echo ' 1 '"),
        parameter("missing", "cat missing-file"),
        parameter("binary", "printf '\\377'"),
        parameter("binary-said", "sh binary.sh"),
        parameter("refused", "echo 1; echo 2"),
        parameter("killed", "kill -9 $$"),
        parameter("last", "echo 3"),
    )
    script(folder, "binary.sh", "printf '\\377'\necho ' why \\377' >&2\n")
    assert StageKit().read_params() == {
        "first": reading("echo ' 1 '", 0, "1"),
        "missing": reading("cat missing-file", 1, error="cat: missing-file: No such file or directory"),
        "binary": reading("printf '\\377'", 0, None, "the value is not UTF-8"),
        "binary-said": reading("sh binary.sh", 0, None, "why \ufffd"),
        "refused": reading("echo 1; echo 2", None, None),
        "killed": reading("kill -9 $$", -signal.SIGKILL),
        "last": reading("echo 3", 0, "3"),
    }
    assert log_lines() == []


def test_read_params_reads_the_names_asked_for_in_their_order(machine):
    folder = machine(parameter("a", "echo a"), parameter("b", "echo b"), parameter("c", "echo c >> ran"))
    values = StageKit().read_params(name for name in ["b", "a", "b"])
    assert list(values) == ["b", "a"] and values["a"]["value"] == "a"
    with pytest.raises(KeyError) as raised:
        StageKit().read_params(["c", "ghost"])
    assert raised.value.args == ("ghost",)
    assert not (folder / "ran").exists()


def test_new_methods_look_up_the_shell_and_the_reader_at_each_call(monkeypatch):
    class OtherReader:
        def get_params_get_script(self):
            return {"q": {"get": "echo $0"}}

        def get_params_set_script(self):
            return {"q": {"set": "echo $0 $value", "needrestart": "false"}}

    monkeypatch.setattr(stagekit, "Cfg", OtherReader)
    monkeypatch.setattr(StageKit, "BASH", "/bin/bash")
    assert StageKit().read_params()["q"]["value"] == "/bin/bash"
    assert StageKit().apply_params({"q": 1})[0]["output"] == "/bin/bash 1"


@pytest.mark.parametrize("closed_first, flooded", [("1", "2"), ("2", "1")])
def test_one_stream_is_drained_after_the_other_closes(tmp_path, closed_first, flooded):
    # The command closes one stream, then writes 50 MB to the other: a reader that stops draining
    # once either stream ends leaves the command blocked on a full pipe. `exec` so that no shell
    # keeps the closed stream open behind it.
    (tmp_path / "flood.sh").write_text(
        f"exec {closed_first}>&-\nhead -c 52428800 /dev/zero >&{flooded}\necho done > finished\n")
    code = textwrap.dedent(
        """
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "exec sh flood.sh", "set": "exec sh flood.sh"}}],
                     "startworkload": "", "stopworkload": ""}
        StageKit().get_params()
        """
    )
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, timeout=120)
    assert (tmp_path / "finished").read_text() == "done\n"


@pytest.mark.skipif(shutil.which("strace") is None and os.environ.get("CI") != "true",
                    reason="strace is not installed (CI installs it)")
def test_the_backup_is_synced_before_it_replaces_the_old_one_and_the_folder_after(tmp_path):
    # The order that keeps a backup whole across a power cut: fsync of the new file, rename over
    # the old one, fsync of the folder.
    code = textwrap.dedent(
        """
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        cfg = Cfg()
        cfg.yml = {"object": [{"name": "p", "info": {"get": "echo 1", "set": "echo $value", "needrestart": "false"}}]}
        cfg.project = "demo"
        StageKit().backup_params()
        """
    )
    trace = tmp_path / "trace"
    # A leak checker cannot run in a traced process; when the extensions are built with one, the
    # traced run leaves it off.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    subprocess.run(["strace", "-f", "-qq", "-e", "signal=none", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                    "-o", str(trace), sys.executable, "-c", code], cwd=tmp_path, env=env, check=True, timeout=120)
    calls = [line.split(None, 1)[1].split("(", 1)[0] for line in trace.read_text().splitlines()
             if "bak_demo" in line or "sync(" in line]
    renamed = next(index for index, call in enumerate(calls) if call.startswith("rename"))
    assert calls[renamed - 1] in ("fsync", "fdatasync") and calls[renamed + 1] in ("fsync", "fdatasync"), calls


@pytest.mark.parametrize("start", ["sh start.sh # the server", "sh start.sh | cat", "sh start.sh & true"])
def test_the_whole_start_command_goes_to_the_background(machine, start):
    folder = machine(parameter("b", set="echo b >> applied", needrestart="true"), start=start, stop="true")
    script(folder, "start.sh", "echo $$ > workload.pid\nexec sleep 60\n")
    call = threading.Thread(target=StageKit().set_params, args=({"b": 2},))
    call.start()
    try:
        pid = int(wait_for(folder / "workload.pid"))
        call.join(timeout=30)
        assert not call.is_alive() and os.path.exists(f"/proc/{pid}")
    finally:
        os.kill(int(wait_for(folder / "workload.pid")), signal.SIGKILL)
        call.join()


def test_temporary_files_of_killed_writers_are_removed(machine):
    import fcntl

    folder = machine(parameter("p", "echo 1"))
    old = 1_000_000_000
    stale = folder / ".bak_demo.ini.0123456789abcdef.tmp"  # its writer is gone: nothing holds its lock
    held = folder / ".bak_demo.ini.fedcba9876543210.tmp"  # a writer still at work
    fresh = folder / ".bak_demo.ini.00000000000000aa.tmp"  # may not be locked yet
    other = folder / ".bak_other.ini.0123456789abcdef.tmp"  # another target's
    for path in (stale, held, fresh, other):
        path.write_text("partial")
    for path in (stale, held, other):
        os.utime(path, (old, old))
    with open(held) as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)
        StageKit().backup_params()
    assert sorted(os.listdir(folder)) == sorted(["bak_demo.ini", held.name, fresh.name, other.name])


# Where pidfd_open is refused (an old kernel, a sandbox), the runner looks for the child's end
# again and again instead: the same values, statuses and time limits.
REFUSE_PIDFD = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

long syscall(long number, ...) {
    if (number == SYS_pidfd_open) {
        write(2, "pidfd_open refused\n", 19);
        errno = ENOSYS;
        return -1;
    }
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
"""


def test_without_a_process_descriptor_commands_end_as_before(tmp_path):
    if shutil.which("cc") is None:
        pytest.skip("no C compiler to build the refusing shim")
    (tmp_path / "refuse.c").write_text(REFUSE_PIDFD)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", "refuse.so", "refuse.c", "-ldl"], cwd=tmp_path, check=True)
    code = textwrap.dedent(
        """
        from knobsmith.loadplan import Cfg
        from knobsmith.stagekit import StageKit
        Cfg().yml = {"object": [{"name": n, "info": {"get": g}} for n, g in
                                [("one", "echo 1"), ("three", "sh three.sh"), ("slow", "sleep 5")]]}
        StageKit.COMMAND_TIMEOUT = 0.5
        print({n: (r["status"], r["timed_out"], r["value"]) for n, r in StageKit().read_params().items()})
        """
    )
    (tmp_path / "three.sh").write_text("echo 3\nexit 3\n")
    preload = f"{os.environ.get('KNOBSMITH_ASAN_PRELOAD', '')} {tmp_path / 'refuse.so'}".strip()
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, LD_PRELOAD=preload))
    assert result.stdout.strip() == str({"one": (0, False, "1"), "three": (3, False, "3"),
                                         "slow": (-signal.SIGTERM, True, None)})
    assert "pidfd_open refused" in result.stderr
