import copy
import logging
import os

import pytest
import yaml
from hypothesis import settings

import knobsmith.recommend as recommend
from common.config import Config
from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.recommend import SystemCollecter
from knobsmith.vetplan import Vetplan

# Under CI the properties draw the same examples on every run, so that the gate answers for the
# code and not for the luck of the draw; a developer's runs keep exploring new ones.
settings.register_profile("ci", derandomize=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

VALID_CONFIG = {
    "iterations": 10,
    "timeout": 600,
    "benchmark": "sh bench.sh",
    "startworkload": "",
    "stopworkload": "",
    "evaluations": [
        {"name": "qps", "info": {"get": "cat qps.txt", "type": "positive", "target": "95%"}},
    ],
    "object": [
        {
            "name": "p1",
            "info": {
                "desc": "first parameter",
                "get": "cat p1",
                "set": "echo $value > p1",
                "needrestart": "false",
                "type": "discrete",
                "dtype": "int",
                "scope": [1, 100],
                "step": 1,
                "items": [],
            },
        },
    ],
}


@pytest.fixture
def config():
    """A fresh copy of a valid configuration, to be altered by the test."""
    return copy.deepcopy(VALID_CONFIG)


@pytest.fixture(autouse=True)
def fresh_singletons():
    """Every test starts from a new-looking reader, timer, memory reading and validator flag."""
    cfg = Cfg()
    cfg.__init__()
    for name in ("iter", "time"):
        cfg.__dict__.pop(name, None)
    Timer().__init__()
    SystemCollecter().__init__()
    Vetplan.need_restart = False
    yield


@pytest.fixture(autouse=True)
def english(monkeypatch):
    """Every test sees the command line's English, whatever the developer's locale; a test of the
    original text sets a Chinese one."""
    monkeypatch.delenv("LC_MESSAGES", raising=False)
    monkeypatch.setenv("LC_ALL", "C.UTF-8")


@pytest.fixture(autouse=True)
def private_state(tmp_path_factory, monkeypatch):
    """Every test keeps originals and last applied values in a folder of its own, never the user's."""
    folder = tmp_path_factory.mktemp("state")
    monkeypatch.setenv("XDG_STATE_HOME", str(folder))
    return folder


@pytest.fixture
def log_lines(caplog):
    """Returns the (level, message) pairs that knobsmith logged so far."""
    caplog.set_level(logging.DEBUG, logger="knobsmith")

    def lines():
        return [(record.levelname, record.getMessage()) for record in caplog.records if record.name == "knobsmith"]

    return lines


@pytest.fixture
def errors(log_lines):
    """Returns the messages logged at error level so far."""
    return lambda: [message for level, message in log_lines() if level == "ERROR"]


@pytest.fixture
def write_config(tmp_path):
    """Writes a configuration (a mapping or YAML text) to a file and returns its path."""

    def write(content, name="demo.yaml"):
        path = tmp_path / name
        text = content if isinstance(content, str) else yaml.safe_dump(content, allow_unicode=True, sort_keys=False)
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def output(tmp_path, monkeypatch):
    """A private output folder for config.yaml, named through KNOBSMITH_OUTPUT_DIR."""
    folder = tmp_path / "out"
    folder.mkdir(mode=0o700)
    monkeypatch.setenv("KNOBSMITH_OUTPUT_DIR", str(folder))
    return folder


@pytest.fixture
def own_database(tmp_path, monkeypatch):
    """Points the manager at a database written by the test."""

    def install(text):
        (tmp_path / "knobsmith").mkdir(exist_ok=True)
        (tmp_path / "knobsmith" / "paramsdb.json5.extu").write_text(text, encoding="utf-8")

        class HereConfig(Config):
            def get_inst_path(self):
                return str(tmp_path)

        monkeypatch.setattr(recommend, "Config", HereConfig)

    return install


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def children():
    """The (pid, state) of every child process of this one, zombies included."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.append((int(entry), fields[0]))
    return found


@pytest.fixture
def leftovers():
    """Call it before and after: it tells the open descriptors and the child processes."""
    return lambda: (open_descriptors(), children())


# The tuning tests' workload: two knobs kept in files (x, an int in [0, 10]; mode, one of a, b, c),
# and a benchmark whose score is 100 - (x - 7)^2, plus 10 when mode is b: the optimum is x=7,
# mode=b, score 110; the starting values x=0, mode=a score 51. Every value set is also noted in
# the file history, in order, so that a test sees what was applied.
SCORE_BENCH = """\
x=$(cat x)
mode=$(cat mode)
bonus=0
if [ "$mode" = b ]; then bonus=10; fi
echo $(( 100 - (x - 7) * (x - 7) + bonus )) > score
"""
KNOB_SET = """\
echo "$2" > "$1"
echo "$1=$2" >> history
"""


def guarded(bound, *, get="cat latency"):
    """The evaluations of the knob workload with a second one, `bound` its info's guardrail
    (e.g. {"max": 5}); the benchmark is to write the file latency."""
    score = {"name": "score", "info": {"get": "cat score", "type": "positive", "target": None}}
    return [score, {"name": "latency", "info": {"get": get, "type": "negative", "target": None, **bound}}]


def knob_config(*, iterations=30, timeout=0, target=None, x=None, mode=None, objects=(), knobs=("x", "mode"), **top):
    """The tuning configuration of the knob workload. `x` and `mode` update those parameters'
    info (None: as is); `knobs` are those of the two it tunes; `objects` are further parameters;
    `top` sets top-level keys."""
    knob = {"desc": "", "needrestart": "false", "type": "discrete"}
    config = {
        "iterations": iterations, "timeout": timeout, "benchmark": "sh bench.sh", "startworkload": "",
        "stopworkload": "",
        "evaluations": [{"name": "score", "info": {"get": "cat score", "type": "positive", "target": target}}],
        "object": [
            {"name": "x", "info": {**knob, "get": "cat x", "set": "sh set.sh x $value", "dtype": "int",
                                   "scope": [0, 10], "step": 1, "items": [], **(x or {})}},
            {"name": "mode", "info": {**knob, "get": "cat mode", "set": "sh set.sh mode $value", "dtype": "string",
                                      "options": ["a", "b", "c"], **(mode or {})}},
            *objects,
        ],
    }
    config["object"] = [obj for obj in config["object"] if obj["name"] in knobs or obj in objects]
    config.update(top)
    return config


@pytest.fixture
def knob_workload(tmp_path):
    """Writes the knob workload into a folder (default the test's own) and returns the folder:
    make(folder=None, *, bench=SCORE_BENCH, values={"x": "0", "mode": "a"}, name="tune.yaml",
    prelude="", **knob_config's keywords); `prelude` is put before the benchmark's lines."""

    def make(folder=None, *, bench=SCORE_BENCH, values=None, name="tune.yaml", prelude="", **settings):
        folder = tmp_path if folder is None else folder
        folder.mkdir(parents=True, exist_ok=True)
        for knob, value in (values or {"x": "0", "mode": "a"}).items():
            (folder / knob).write_text(f"{value}\n")
        (folder / "bench.sh").write_text(prelude + bench)
        (folder / "set.sh").write_text(KNOB_SET)
        (folder / name).write_text(yaml.safe_dump(knob_config(**settings), sort_keys=False))
        return folder

    return make
