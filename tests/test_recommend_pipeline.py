"""The recommendation steps on databases of the tests' own: what is left out and why, what is
fitted, --keep and --no-probe, the server filter, and a file that still validates."""

import json
import os
import socket
import stat
import subprocess

import pytest
import yaml

from knobsmith import cli
from knobsmith.loadplan import Cfg
from knobsmith.recommending import ranges, servers
from knobsmith.recommending.pipeline import recommend


def entry(name, get, *, dtype="int", type_="continuous", scope=(0, 10), step=1, options=(), adapt=(),
          version="", set_=None, needrestart="false", **extra):
    return {"name": name, "desc": "", "get": get, "set": set_ or f"echo $value > {name}", "needrestart": needrestart,
            "type": type_, "dtype": dtype, "scope": list(scope), "step": step, "items": [], "options": list(options),
            "level": "low", "version": version, "adapt": list(adapt), **extra}


@pytest.fixture
def database(own_database, output):
    def install(**entries):
        own_database(json.dumps(entries))
    return install


@pytest.fixture
def files(tmp_path):
    """Writes files whose content the get commands print; returns the command that prints one."""
    def write(name, text):
        (tmp_path / name).write_text(text)
        return f"cat {tmp_path / name}"
    return write


def written(output):
    text = (output / "config.yaml").read_text(encoding="utf-8")
    comments = [line for line in text.splitlines() if line.startswith("#")]
    objects = {obj["name"]: obj["info"] for obj in yaml.safe_load(text)["object"] or []}
    return objects, "\n".join(comments)


def test_probing_leaves_out_what_does_not_read_and_says_why(database, files, output, tmp_path):
    (tmp_path / "warn.sh").write_text("echo 3\necho deprecated >&2\n")
    database(C01=entry("good", files("good", "5\n")),
             C02=entry("missing", f"cat {tmp_path}/absent"),
             C03=entry("warns", f"sh {tmp_path}/warn.sh"),
             C04=entry("words", files("words", "on\n")),
             C05=entry("floaty", files("floaty", "0.5\n"), dtype="float", scope=(0.1, 1.0)),
             C06=entry("unruly", "cat a && cat b"),
             N01=entry("elsewhere", "cat x"))
    result = recommend("cpu")
    objects, comments = written(output)
    assert list(objects) == ["good", "floaty"] and result.written
    assert [entry.name for entry in result.entries] == ["good", "floaty"]
    assert "#   unruly: its get command breaks the shell rule" in comments
    assert f"#   missing: its get command failed with exit status 1: cat: {tmp_path}/absent: No such file" in comments
    assert "#   warns: its get command wrote to standard error: deprecated" in comments
    assert "#   words: its get command prints 'on', not a number of type int" in comments
    assert "Fitted" not in comments
    assert stat.S_IMODE(os.stat(output / "config.yaml").st_mode) == 0o600


def test_entries_for_a_disk_file_this_machine_lacks(database, output, monkeypatch):
    from knobsmith import recommend as library

    monkeypatch.setattr(library.Adaptenv, "get_all_disks", lambda self: ["vdz"])
    database(I01=entry("queue.nothing", "cat /sys/block/sda/queue/no_such_file", adapt=["disk"]),
             I02=entry("queue.unnamed", "echo 1", adapt=["disk"]))
    recommend("io")
    objects, comments = written(output)
    assert objects == {}
    assert "#   queue.nothing: this machine has no /sys/block/vdz/queue/no_such_file" in comments
    assert "#   queue.unnamed: its get command names no file to look for" in comments


def test_keep_writes_what_probing_would_leave_out(database, files, output, tmp_path, capsys):
    database(C01=entry("missing", f"cat {tmp_path}/absent"),
             C02=entry("sched", files("sched", "none [mq-deadline] kyber\n"), dtype="string", type_="discrete",
                       options=["bfq"]),
             C03=entry("dropped", f"cat {tmp_path}/absent2"))
    assert cli.main(["recommend", "cpu", "--keep", "missing", "sched", "--keep", "nosuch"]) == 0
    objects, comments = written(output)
    assert list(objects) == ["missing", "sched"] and objects["sched"]["options"] == ["bfq"]
    assert "#   missing: kept as asked (--keep), although its get command failed" in comments
    assert "#   sched: kept as asked (--keep), although the machine offers none of its options" in comments
    assert "#   dropped: its get command failed" in comments
    err = capsys.readouterr().err
    assert "knobsmith: warning: --keep nosuch: the scene cpu has no such entry" in err
    assert "knobsmith: 2 entries written, 1 left out (the top of config.yaml says why)" in err


def test_no_probe_runs_no_command(database, output, tmp_path, monkeypatch):
    marker = tmp_path / "ran"
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "mysql").write_text(f"#!/bin/sh\ntouch {marker}\n")
    (fake / "mysql").chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake}:{os.environ['PATH']}")
    database(M01=entry("a", f"touch {marker}", scope=(100, 200)),
             M02=entry("b", "cat x", adapt=["server"], version="mariadb"),
             M03=entry("b", "cat x", adapt=["server"], version="mysql>=8.0"),
             M04=entry("c", "cat x", adapt=["server"], version="mariadb>=10"))
    result = recommend("mysql", probe=False, host=True)
    objects, comments = written(output)
    assert not marker.exists() and result.detection is None
    assert list(objects) == ["a", "b"] and objects["a"]["scope"] == [100, 200]
    assert "no value was read (--no-probe)" in comments
    assert "#   b: an earlier entry of the same name is written (the server was not asked)" in comments
    assert "#   c: the version clause 'mariadb>=10' is not of the form" in comments


@pytest.fixture
def fake_client(tmp_path, monkeypatch):
    """A mysql client on PATH that prints `version` for SELECT VERSION() (or fails with `error`) and
    `variables` for the query of the server's variables, and `where` (host, pid file, datadir) for
    the query of where it runs."""
    def install(version=None, error="ERROR 2002 (HY000): Can't connect to local server", variables="", where=""):
        folder = tmp_path / "bin"
        folder.mkdir(exist_ok=True)
        script = f"#!/bin/sh\necho \"$*\" >> {tmp_path}/client.log\n"
        script += (f"case \"$*\" in *VERSION*) echo '{version}' ;; *SYSTEM_VARIABLES*) printf '{variables}' ;; "
                   f"*pid_file*) printf '{where}' ;; esac\n" if version else f"echo \"{error}\" >&2\nexit 1\n")
        (folder / "mysql").write_text(script)
        (folder / "mysql").chmod(0o755)
        monkeypatch.setenv("PATH", f"{folder}:{os.environ['PATH']}")
    return install


def server_database(database, files, **more):
    value = files("v", "7\n")

    def variable(name, version, **fields):
        fields.setdefault("set_", f"mysql -e 'SET GLOBAL {name} = $value'")
        return entry(name, value, adapt=["server"], version=version, **fields)

    database(M01=variable("any_mariadb", "mariadb"),
             M02=variable("new_mariadb", "mariadb>=10.6<11.0"),
             M03=variable("old_mariadb", "mariadb<10.6"),
             M04=variable("for_mysql", "mysql>=8.0"),
             M05=variable("either", "mysql>=8.0, mariadb>=10.11"),
             M06=variable("odd", "mariadb=10.11"),
             M07=entry("kernel", value),
             M08=variable("persisted", "mariadb, mysql", set_="mysql -e 'SET PERSIST_ONLY persisted = $value'",
                          needrestart="true"),
             M09=variable("fixed", "mariadb, mysql"),
             M10=entry("flush", files("f", "O_DSYNC\n"), dtype="string", type_="discrete", adapt=["server"],
                       version="mariadb", options=["o_direct", "nosync", "fsync"],
                       set_="mysql -e 'SET GLOBAL flush = $value'"),
             **more)


def test_the_server_selects_its_entries(database, files, output, fake_client):
    fake_client("10.11.6-MariaDB-0+deb12u1",
                variables="fixed\\tYES\\t0\\t100\\t\\nany_mariadb\\tNO\\t2\\t8\\t\\neither\\tNO\\t\\t\\t\\n"
                "flush\\tNO\\t\\t\\tfsync,O_DSYNC,O_DIRECT\\n")
    server_database(database, files)
    result = recommend("mysql")
    objects, comments = written(output)
    assert result.detection.server == servers.Server("mariadb", (10, 11, 6))
    assert list(objects) == ["any_mariadb", "new_mariadb", "either", "flush"]
    assert "# Host-wide entries, not written (1; --host writes them): kernel" in comments
    assert objects["any_mariadb"]["scope"] == [2, 8] and objects["either"]["scope"] == [0, 10]
    assert objects["flush"]["options"] == ["o_direct", "fsync", "O_DSYNC"]
    assert ("#   flush: options o_direct nosync fsync -> o_direct fsync O_DSYNC: the machine offers fsync O_DSYNC "
            "O_DIRECT, O_DSYNC in effect") in comments
    assert "#   any_mariadb: range [0, 10] -> [2, 8]: MariaDB 10.11.6 takes [2, 8]" in comments
    assert "# Server: MariaDB 10.11.6" in comments
    assert "#   old_mariadb: for mariadb<10.6, not MariaDB 10.11.6" in comments
    assert "#   for_mysql: for mysql>=8.0, not MariaDB 10.11.6" in comments
    assert "#   odd: the version clause 'mariadb=10.11' is not of the form" in comments
    assert "#   persisted: MariaDB 10.11.6 has no SET PERSIST" in comments
    assert "#   fixed: MariaDB 10.11.6 has fixed read-only" in comments


def test_mysql_takes_its_own_entries(database, files, output, fake_client):
    fake_client("8.4.0-commercial")
    server_database(database, files)
    recommend("mysql", host=True)
    objects, _ = written(output)
    assert list(objects) == ["for_mysql", "either", "kernel", "persisted", "fixed"]


def test_an_unreachable_server_leaves_its_entries_out(database, files, output, fake_client, tmp_path, capsys):
    fake_client(None)
    server_database(database, files, M11=entry("plain", "mysql -N -B -e 'SELECT @@GLOBAL.plain'"))
    assert cli.main(["recommend", "mysql", "--host"]) == 0
    objects, comments = written(output)
    assert list(objects) == ["kernel"]
    reason = "the server could not be asked: mysql -N -B -e 'SELECT VERSION()' failed with exit status 1: ERROR 2002"
    # One line for the entries that share the reason, in the order they came.
    (line,) = [line for line in comments.splitlines() if reason in line]
    names = line.removeprefix("#   ").split(": ")[0].split(", ")
    assert names[0] == "any_mariadb" and names[-1] == "plain" and "either" in names
    # Asked once: the entries that would meet the same server wait for nothing.
    assert (tmp_path / "client.log").read_text().splitlines() == ["-N -B -e SELECT VERSION()"]
    assert ("knobsmith: no database server could be asked: mysql -N -B -e 'SELECT VERSION()' failed with exit "
            "status 1: ERROR 2002 (HY000): Can't connect to local server") in capsys.readouterr().err


@pytest.fixture
def server_process(tmp_path):
    """A process that looks like a server started on an option file (my.cnf, which includes the
    folder a and, through more.cnf, the folder b), and its pid file."""
    (tmp_path / "my.cnf").write_text(f"[mariadbd]\n!includedir {tmp_path}/a\n!include {tmp_path}/more.cnf\n")
    (tmp_path / "more.cnf").write_text(f"!includedir {tmp_path}/b/\n")
    process = subprocess.Popen(["mariadbd", "-c", "sleep 60; :", "x", f"--defaults-file={tmp_path}/my.cnf"],
                               executable="/bin/sh")
    (tmp_path / "server.pid").write_text(f"{process.pid}\n")
    yield tmp_path / "server.pid"
    process.kill()
    process.wait()


LOG_FILE_SIZE = entry("innodb_log_file_size", "echo 7", adapt=["server"], version="mariadb", needrestart="true",
                      set_="printf '[mariadbd]\\ninnodb_log_file_size=$value\\n' > "
                      "@MYSQL_CONFDIR@/knobsmith-innodb_log_file_size.cnf")


# Files the server reads before knobsmith's, or in sections it does not read, change nothing.
UNSEEN = {"a/zz.cnf": "[mariadbd]\ninnodb_log_file_size=1\n", "b/a.cnf": "[mysqld]\ninnodb_log_file_size=1\n",
          "b/zz.cnf": "[client]\ninnodb_log_file_size=1\n[mysqld-10.6]\ninnodb_log_file_size=1\n"}


@pytest.mark.parametrize("host, probe, packaged, folder, others", [
    (socket.gethostname(), True, (), "b", UNSEEN),  # the last folder the server's own option files include
    ("db7", True, (), "the server runs on db7, not on this machine", {}),
    (None, False, ("my.cnf.d", "conf.d"), "my.cnf.d", {}),  # not asked: the first packaged folder there is
    (None, False, (), "none of {packaged} exists", {}),
    (socket.gethostname(), True, (), "set again in {tmp}/b/zz.cnf (line 4), read after knobsmith's file: remove "
     "it there to tune it", {"b/zz.cnf": "[client]\nx=1\n[mysqld-10.11]\nloose-innodb-log-file-size = 1\n"}),
], ids=["server", "elsewhere", "packaged", "none", "overruled"])
def test_option_files_go_where_the_server_reads_them(database, output, fake_client, tmp_path, monkeypatch,
                                                      server_process, host, probe, packaged, folder, others):
    fake_client("10.11.6-MariaDB", where=f"{host}\\t{server_process}\\t{tmp_path}/data/\\n")
    for name in ("a", "b", *packaged):
        (tmp_path / name).mkdir()
    for name, text in others.items():
        (tmp_path / name).write_text(text)
    folders = [tmp_path / name for name in ("mariadb.conf.d", "my.cnf.d", "conf.d")]
    monkeypatch.setattr(servers, "CONFDIRS", tuple(map(str, folders)))
    database(M01=LOG_FILE_SIZE)
    objects, comments = (recommend("mysql", probe=probe), written(output))[1]
    if (tmp_path / folder).is_dir():
        written_to = f"> {tmp_path / folder}/knobsmith-innodb_log_file_size.cnf"
        assert objects["innodb_log_file_size"]["set"].endswith(written_to)
        assert f"# Option files: {tmp_path / folder}: " in comments
    else:
        assert objects == {}
        reason = folder.format(packaged=", ".join(map(str, folders)), tmp=tmp_path)
        assert f"#   innodb_log_file_size: {'' if others else 'it writes an option file, and '}{reason}" in comments


def test_ranges_hold_the_values_in_effect(database, files, output, tmp_path, monkeypatch):
    (tmp_path / "memory.max").write_text("1000000\n")
    monkeypatch.setattr(ranges, "CGROUP_MEMORY_MAX", str(tmp_path / "memory.max"))
    database(C01=entry("read_ahead_kb", files("ra", "8192\n"), scope=(0, 4096)),
             C02=entry("lowat", files("lw", "4294967295\n"), scope=(16384, 1048576), limits=[0, 2147483647]),
             C03=entry("grid", files("g", "55\n"), type_="discrete", scope=(0, 100), step=10),
             C04=entry("pool", files("p", "100\n"), scope=(1, 2), memory=[0.25, 0.5]),
             C05=entry("sched", files("s", "none [mq-deadline] kyber\n"), dtype="string", type_="discrete",
                       options=["bfq", "kyber"]))
    recommend("cpu")
    objects, comments = written(output)
    assert objects["read_ahead_kb"]["scope"] == [0, 8192]
    assert objects["lowat"]["scope"] == [16384, 1048576]
    assert objects["grid"]["scope"] == [5, 95] and objects["grid"]["step"] == 10
    assert objects["pool"]["scope"] == [100, 500000]
    assert objects["sched"]["options"] == ["kyber", "mq-deadline"]
    assert "#   read_ahead_kb: range [0, 4096] -> [0, 8192]: holds the value in effect, 8192" in comments
    assert ("#   lowat: the value in effect, 4294967295, lies outside the limits [0, 2147483647]: "
            "range left as it is") in comments
    assert "#   grid: range [0, 100] -> [5, 95]: holds the value in effect, 55 on the grid of step 10" in comments
    assert ("#   pool: range [250000, 500000]: 25% to 50% of the cgroup memory limit, 1000000 bytes; "
            "range [250000, 500000] -> [100, 500000]: holds the value in effect, 100") in comments
    assert ("#   sched: options bfq kyber -> kyber mq-deadline: the machine offers none mq-deadline kyber, "
            "mq-deadline in effect") in comments


def fill_in(text):
    """The header's blanks filled in, as a user would."""
    for blank, value in (('benchmark: "" # fill in', 'benchmark: "sh bench.sh"'),
                         ('  name: "" # fill in', '  name: "qps"'),
                         ('    get: "" # fill in', '    get: "cat qps"'),
                         ('    type: "" # fill in', '    type: "positive"')):
        assert blank in text
        text = text.replace(blank, value, 1)
    return text


def test_the_file_validates_once_filled_in(database, files, output, tmp_path, errors):
    database(C01=entry("grid", files("g", "55\n"), type_="discrete", scope=(0, 100), step=10),
             C02=entry("wide", files("w", "-5\n"), scope=(0, 10)),
             C03=entry("ratio", files("r", "0.75\n"), dtype="float", type_="discrete", scope=(0.1, 0.5), step=0.1),
             C04=entry("sched", files("s", "[none] kyber\n"), dtype="string", type_="discrete",
                       options=["none", "bfq"]),
             C05=entry("gone", "cat /nonexistent"))
    recommend("cpu")
    path = tmp_path / "filled.yaml"
    path.write_text(fill_in((output / "config.yaml").read_text(encoding="utf-8")), encoding="utf-8")
    cfg = Cfg()
    assert cfg.init(str(path)) is True, errors()
    knobs = {knob["name"]: knob for knob in cfg.get_optimizer_info()["knobs"]}
    assert set(knobs) == {"grid", "wide", "ratio", "sched"}
