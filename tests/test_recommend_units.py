"""The pieces of the recommendation steps: server versions and clauses, option lists, numbers,
range fitting, the runner's time limit and the comment block."""

import os
import time

import psutil
import pytest

from knobsmith.recommending import commands, notes, probing, ranges, servers
from knobsmith.recommending.servers import Server


@pytest.mark.parametrize(("text", "family", "version"), [
    ("10.11.6-MariaDB-0+deb12u1", "mariadb", (10, 11, 6)),
    ("5.5.5-10.6.12-MariaDB-log", "mariadb", (10, 6, 12)),
    ("8.0.36", "mysql", (8, 0, 36)),
    ("8.4.0-commercial", "mysql", (8, 4, 0)),
    ("8.0", "mysql", (8, 0, 0)),
])
def test_server_versions(text, family, version):
    assert servers.parse_server(text) == Server(family, version)


@pytest.mark.parametrize("text", ["", "MariaDB", "ERROR 2002", "v8"])
def test_text_without_a_version_names_no_server(text):
    assert servers.parse_server(text) is None


MARIADB_10_11 = Server("mariadb", (10, 11, 6))
MYSQL_8_0 = Server("mysql", (8, 0, 36))


@pytest.mark.parametrize(("version", "mariadb", "mysql"), [
    ("mariadb", True, False),
    ("mysql", False, True),
    ("mariadb, mysql", True, True),
    ("mariadb>=10.11.7", False, False),
    ("mariadb>=10.11.6", True, False),
    ("mariadb<10.11.6", False, False),
    ("mariadb<11.0", True, False),
    ("mariadb>=10.5<10.11", False, False),
    ("mariadb>=10.5<10.12", True, False),
    ("mysql>=8.0<8.4, mariadb>=11.0", False, True),
    (" mysql>=8.0 ,mariadb>=10.6 ", True, True),
    ("mysql>=5.7<8.0", False, False),
])
def test_clauses_select_servers(version, mariadb, mysql):
    assert servers.selects(version, MARIADB_10_11) is mariadb
    assert servers.selects(version, MYSQL_8_0) is mysql


@pytest.mark.parametrize("version", ["", "postgres", "mariadb>10.5", "mariadb>=10", "mariadb<=10.6",
                                     "mariadb>=10.5,", "MariaDB", "mariadb >= 10.5", "mysql<8.0>=5.7"])
def test_unreadable_clauses_are_named(version):
    with pytest.raises(ValueError, match="version clause"):
        servers.selects(version, MARIADB_10_11)


@pytest.mark.parametrize(("text", "expected"), [
    ("none [mq-deadline] kyber", (["none", "mq-deadline", "kyber"], "mq-deadline")),
    ("[none] mq-deadline kyber bfq\n", (["none", "mq-deadline", "kyber", "bfq"], "none")),
    ("always [madvise] never", (["always", "madvise", "never"], "madvise")),
    ("mq-deadline", None),
    ("[a] [b]", None),
    ("a [b c]", None),
    ("a [b]] c", None),
    ("", None),
])
def test_offered_options(text, expected):
    assert probing.offered(text) == expected


@pytest.mark.parametrize(("text", "dtype", "expected"), [
    ("4096\n", "int", 4096),
    ("4294967295", "int", 4294967295),
    ("1.5", "int", None),
    ("4096 8192", "int", None),
    ("0.25", "float", 0.25),
    ("1e-3", "float", 0.001),
    ("ON", "int", None),
    ("5", "string", None),
])
def test_numbers_read(text, dtype, expected):
    assert probing.number(text, dtype) == expected


@pytest.mark.parametrize(("scope", "value", "kind", "step", "expected"), [
    # inside: untouched
    ([0, 4096], 128, "continuous", 1, [0, 4096]),
    ([0, 1], 1, "discrete", 1, [0, 1]),
    # widened on either side
    ([0, 4096], 8192, "continuous", 1, [0, 8192]),
    ([64, 512], 4096, "continuous", 1, [64, 4096]),
    ([16384, 1048576], 4294967295, "continuous", 1, [16384, 4294967295]),
    ([0, 2], 5, "discrete", 1, [0, 5]),
    # stepped grids: the value lands on the grid, bounds stay on it
    ([0, 100], 150, "discrete", 10, [0, 150]),
    ([0, 100], 155, "discrete", 10, [5, 155]),
    ([10, 100], 3, "discrete", 10, [3, 93]),
    ([0, 100], 55, "discrete", 10, [5, 95]),
    ([0, 10], 10, "discrete", 20, [10, 30]),
])
def test_ranges_hold_the_value_in_effect(scope, value, kind, step, expected):
    fitted = ranges.hold(scope, value, dtype="int", discrete=kind == "discrete", step=step)
    assert fitted.scope == expected and fitted.refusal is None
    assert (fitted.note is None) is (expected == scope)
    if kind == "discrete":
        assert (value - fitted.scope[0]) % step == 0 and (fitted.scope[1] - fitted.scope[0]) % step == 0
    assert fitted.scope[0] <= value <= fitted.scope[1] and fitted.scope[0] < fitted.scope[1]


def test_float_grids_stay_exact():
    fitted = ranges.hold([0.1, 0.5], 0.8, dtype="float", discrete=True, step=0.1)
    assert fitted.scope == [0.1, 0.8] and "0.1, 0.5] -> [0.1, 0.8]" in fitted.note


@pytest.mark.parametrize(("scope", "value", "limits", "expected", "refused"), [
    ([0, 10], 20, (0, 15), [0, 10], "outside the limits [0, 15]"),
    ([0, 10], -1, (0, 15), [0, 10], "outside the limits"),
    ([0, 10], 15, (0, 15), [0, 15], None),
])
def test_limits_bound_the_widening(scope, value, limits, expected, refused):
    fitted = ranges.hold(scope, value, dtype="int", discrete=False, step=1, limits=limits)
    assert fitted.scope == expected
    assert (fitted.refusal is None) if refused is None else (refused in fitted.refusal)


def test_a_lone_grid_point_gets_its_extra_step_inside_the_limits():
    def fit(limits):
        return ranges.hold([0, 10], 10, dtype="int", discrete=True, step=20, limits=limits)

    assert fit((0, 30)).scope == [10, 30]
    assert fit((-10, 20)).scope == [-10, 10]
    assert "no range of step 20" in fit((0, 20)).refusal


@pytest.mark.parametrize(("shares", "limits", "grid", "expected"), [
    ([0.4, 0.7], None, None, [400, 700]),
    ([0.4, 0.7], (500, 600), None, [500, 600]),
    ([0.4, 0.7], (800, 900), None, None),
    # A server that rounds to a unit: bounds on its multiples, inside the shares.
    ([0.41, 0.79], None, 64, [448, 768]),
    ([0.41, 0.79], (450, 700), 64, [512, 640]),
    ([0.41, 0.45], None, 64, None),
])
def test_memory_sized_ranges(shares, limits, grid, expected):
    sized = ranges.memory_scope(shares, 1000, "the memory total", dtype="int", limits=limits, grid=grid)
    if expected is None:
        assert sized.refusal and "no range" in sized.refusal
    else:
        assert sized.scope == expected and sized.refusal is None


@pytest.mark.parametrize(("content", "lower"), [("max\n", False), ("1073741824\n", True), ("", False)])
def test_a_lower_cgroup_limit_is_the_memory_available(tmp_path, monkeypatch, content, lower):
    (tmp_path / "memory.max").write_text(content)
    monkeypatch.setattr(ranges, "CGROUP_MEMORY_MAX", str(tmp_path / "memory.max"))
    total = psutil.virtual_memory().total
    memory, source = ranges.memory_available()
    if lower and total > 1073741824:
        assert (memory, source) == (1073741824, "the cgroup memory limit")
    else:
        assert (memory, source) == (total, "the memory total")


COMMAND_ENDS = [
    ("echo 5", 0, None),
    ("echo 5; echo careful >&2", 0, "wrote to standard error: careful"),
    ("echo oops >&2; exit 3", 3, "failed with exit status 3: oops"),
    ("printf -- '-----\\nSELECT 1\\n-----\\nERROR 1193\\n' >&2; exit 1", 1,
     "failed with exit status 1: SELECT 1 | ERROR 1193"),
    ("kill -9 $$", -9, "was killed by signal 9"),
]


@pytest.mark.parametrize(("command", "status", "failure"), COMMAND_ENDS)
def test_commands_count_failures(command, status, failure):
    outcome = commands.run(command, 10)
    assert outcome.status == status
    assert (outcome.ok, None if outcome.ok else outcome.failure(10)) == (failure is None, failure)


def test_commands_run_together_keep_their_order():
    # The first ends last: outcomes must follow the commands, not their ends.
    listed = [("sleep 0.3; echo slow", 0, None)] + COMMAND_ENDS * 2
    outcomes = commands.run_all([command for command, _, _ in listed], 10, at_once=3)
    assert [outcome.status for outcome in outcomes] == [status for _, status, _ in listed]
    assert [outcome.out for outcome in outcomes] == ["slow\n"] + ["5\n", "5\n", "", "", ""] * 2


def test_a_command_past_its_time_limit_ends_with_what_it_started(tmp_path):
    started = time.monotonic()
    outcome = commands.run(f"sleep 30 & echo $! > {tmp_path}/pid; wait", 0.5)
    assert outcome.status is None and outcome.failure(0.5) == "did not end within 0.5 s"
    assert time.monotonic() - started < 20
    pid = int((tmp_path / "pid").read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_the_comment_block_is_comments_only():
    # One name has an entry per server: a reason shared by several entries is said once.
    gone = [("m", "no server"), ("m", "no server"), ("n", "no server"), ("n", "no server")]
    record = notes.Notes("io", True, left_out=[("queue.wbt_lat_usec", "its get command failed: No such\nfile\x1b"),
                                               *gone], fitted=[("a", "range [0, 1] -> [0, 2]: holds")])
    text = notes.block(record)
    assert text.endswith("\n") and all(line.startswith("# ") for line in text.splitlines())
    assert "# Left out (5):\n#   queue.wbt_lat_usec: its get command failed: No such | file?\n" in text
    assert text.count("no server") == 1 and "#   m, n: no server\n" in text
    assert "# Fitted to this machine (1):\n#   a: range [0, 1] -> [0, 2]: holds\n" in text
    assert "Left as they are" not in text


def test_prepend_replaces_the_file_atomically_and_keeps_it_private(tmp_path):
    path = tmp_path / "config.yaml"
    path.write_text("iterations: 5\n")
    path.chmod(0o600)
    notes.prepend(str(path), "# note\n")
    assert path.read_text() == "# note\niterations: 5\n"
    assert path.stat().st_mode & 0o777 == 0o600
    assert os.listdir(tmp_path) == ["config.yaml"]


@pytest.mark.parametrize("scope, step, discrete, expected", [
    ([1000, 9000], 1, False, ([4096, 8192], 4096)),  # inward, onto the multiples
    ([0, 100000], 6144, True, ([0, 98304], 12288)),  # a grid of its own and the server's
    ([8192, 16384], 4096, True, None),  # on them already
    ([5000, 8000], 1, False, "holds no two multiples of 4096"),
])
def test_int_ranges_go_onto_the_multiples_the_server_keeps(scope, step, discrete, expected):
    fitted = ranges.on_blocks(scope, step, discrete, 4096, "MariaDB 10.11.6")
    if expected is None or isinstance(expected, str):
        assert fitted is None if expected is None else expected in fitted.refusal
    else:
        assert (fitted.scope, fitted.step) == expected
        assert "MariaDB 10.11.6 keeps it in multiples of 4096" in fitted.note


@pytest.mark.parametrize("answer, limits", [
    ("20000\t64\t2000\n", (1, 4)),  # 4 instances of 2000 tables need 16097 files; 5 would not fit
    ("1000000\t151\t400\n", (1, 64)),
    ("", (1, 64)),  # the server did not say
])
def test_table_cache_instances_are_what_the_server_keeps_at_start(answer, limits):
    variables = {"table_open_cache_instances": servers.Variable(True, (1, 64))}
    servers.cap_at_start(variables, servers.Server("mariadb", (10, 11, 6)), None,
                         lambda *_: commands.Outcome(0, answer, ""))
    assert variables["table_open_cache_instances"].limits == limits


def test_the_server_says_what_its_variables_take():
    rows = ("max_connections\tNO\t10\t100000\t\ninnodb_log_buffer_size\tYES\t262144\t18446744073709551615\t\n"
            "innodb_flush_method\tYES\t\t\tfsync,O_DSYNC,O_DIRECT\nlong_query_time\tNO\t0.000000\t31536000.000000\t\n"
            "broken\tNO\n" "inverted\tNO\t5\t1\t\n" "read_buffer_size\tNO\t8192\t2147483647\t\t4096\n")
    variables = servers.parse_variables(rows)
    assert variables == {
        "max_connections": servers.Variable(False, (10, 100000)),
        "read_buffer_size": servers.Variable(False, (8192, 2147483647), block=4096),
        "innodb_log_buffer_size": servers.Variable(True, (262144, 18446744073709551615)),
        "innodb_flush_method": servers.Variable(True, None, ("fsync", "O_DSYNC", "O_DIRECT")),
        "long_query_time": servers.Variable(False, (0.0, 31536000.0)),
        "inverted": servers.Variable(False, None),
    }


@pytest.mark.parametrize(("get", "set_", "name"), [
    ("mysql -N -B -e 'SELECT @@GLOBAL.sync_binlog'", "mysql -e 'SET GLOBAL sync_binlog = $value'", "sync_binlog"),
    ("cat x", "mysql -e 'set global Max_Connections=$value'", "max_connections"),
    ("mysql -N -B -e 'SELECT @@innodb_log_file_size'", "printf 'x=$value' > @MYSQL_CONFDIR@/x.cnf",
     "innodb_log_file_size"),
    ("sysctl -n vm.swappiness", "sysctl -w vm.swappiness=$value", None),
])
def test_the_variable_an_entry_names(get, set_, name):
    assert servers.variable_name(get, set_) == name


@pytest.mark.parametrize(("set_", "needrestart", "read_only", "refused"), [
    ("mysql -e 'SET PERSIST_ONLY x = $value'", "true", False, "has no SET PERSIST"),
    ("mysql -e 'SET GLOBAL x = $value'", "false", True, "has x read-only"),
    ("mysql -e 'SET GLOBAL x = $value'", "false", False, None),
    ("printf 'x=$value' > /etc/mysql/conf.d/x.cnf", "true", True, None),
])
def test_what_mariadb_would_refuse(set_, needrestart, read_only, refused):
    reason = servers.unfit_set(set_, needrestart, MARIADB_10_11, servers.Variable(read_only, None))
    assert (reason is None) if refused is None else (refused in reason)
    if "PERSIST" not in set_:
        assert servers.unfit_set(set_, needrestart, MYSQL_8_0, None) is None


@pytest.mark.parametrize(("scope", "limits", "discrete", "expected"), [
    ([128, 8192], (100, 10000), False, [128, 8192]),
    ([0, 20000], (100, 10000), False, [100, 10000]),
    ([0, 100], (15, 95), True, [20, 90]),
    ([0, 10], (20, 30), False, None),
    ([0, 100], (91, 99), True, None),
])
def test_ranges_cut_to_what_the_server_takes(scope, limits, discrete, expected):
    cut = ranges.within(scope, limits, "MariaDB 10.11.6", dtype="int", discrete=discrete, step=10 if discrete else 1)
    if expected is None:
        assert cut.scope == scope and "lies outside the values MariaDB 10.11.6 takes" in cut.refusal
    else:
        assert cut.scope == expected and (cut.note is None) is (expected == scope)
