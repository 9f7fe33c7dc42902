import time

import pytest

import knobsmith.lapclock as lapclock
from knobsmith.lapclock import Timer


@pytest.fixture
def clock(monkeypatch):
    """A performance counter that reads the values the test puts in `now`."""
    now = [1000.0]
    monkeypatch.setattr(time, "perf_counter", lambda: now[0])
    return now


def test_fresh_timer_and_its_singleton():
    timer = Timer()
    assert (timer.p_time, timer.max_runtime, timer.benchmark_time) == ([], 100, 0.0)
    assert type(timer.max_runtime) is int and type(timer.benchmark_time) is float
    timer.tick("start")
    assert Timer() is timer and Timer().p_time == timer.p_time


def test_first_total_runtime_is_an_error_and_leaves_its_tick(clock, errors, capsys):
    timer = Timer()
    assert timer.total_runtime("end") is None
    assert errors() == [" time error"]
    assert timer.p_time == [["end", 1000.0]]
    assert capsys.readouterr().out == ""
    clock[0] += 125
    assert timer.total_runtime("end") == 125
    assert capsys.readouterr().out == "total runtime: 2 min 5 s \n\n"


@pytest.mark.parametrize(
    "elapsed, seconds, text",
    [
        (0.4, 0, "0 s"),
        (2.5, 2, "2 s"),
        (3.5, 4, "4 s"),
        (59.6, 60, "1 min 0 s"),
        (3600, 3600, "1 h 0 min 0 s"),
        (3725, 3725, "1 h 2 min 5 s"),
        (90061, 90061, "25 h 1 min 1 s"),
    ],
)
def test_elapsed_time_is_rounded_and_printed(clock, capsys, elapsed, seconds, text):
    timer = Timer()
    timer.tick("start")
    clock[0] += elapsed
    result = timer.total_runtime("end")
    assert result == seconds and type(result) is int
    assert capsys.readouterr().out == f"total runtime: {text} \n\n"


def test_elapsed_time_runs_from_the_very_first_tick(clock, capsys):
    timer = Timer()
    for label in ("a", "b", "c"):
        timer.tick(label)
        clock[0] += 10
    assert timer.total_runtime("c") == 30
    assert [label for label, _ in timer.p_time] == ["a", "b", "c", "c"]


def test_tick_list_is_printed_not_returned(clock, capsys):
    timer = Timer()
    timer.tick("start")
    clock[0] = 1073.25
    timer.tick("bench")
    assert timer.get_tick_list() is None
    assert capsys.readouterr().out == "[['start', 1000.0], ['bench', 1073.25]]\n"


class Label(str):
    pass


@pytest.mark.parametrize("method", ["tick", "total_runtime"])
@pytest.mark.parametrize("desc, name", [(None, "NoneType"), (5, "int"), (Label("x"), "Label"), (b"x", "bytes")])
def test_label_must_be_exactly_str(method, desc, name, errors):
    timer = Timer()
    with pytest.raises(TypeError) as raised:
        getattr(timer, method)(desc)
    assert str(raised.value) == f"Argument 'desc' has incorrect type (expected str, got {name})"
    assert timer.p_time == []
    assert errors() == []


@pytest.mark.parametrize("given, stored", [(7.25, 7.2), (12.345, 12.3), (7, 7), (0.05, 0.1), (True, 1)])
def test_benchmark_time_is_rounded_to_a_tenth(given, stored):
    timer = Timer()
    timer.set_benchmark_time(given)
    assert timer.benchmark_time == stored and type(timer.benchmark_time) is type(stored)


@pytest.mark.parametrize("given", ["12", None])
def test_benchmark_time_refuses_what_cannot_be_rounded(given):
    timer = Timer()
    timer.set_benchmark_time(3.0)
    with pytest.raises(TypeError):
        timer.set_benchmark_time(given)
    assert timer.benchmark_time == 3.0


@pytest.mark.parametrize("seconds, text", [(0, "0 s"), (60, "1 min 0 s"), (61.5, "1.0 min 1.5 s"), (-5, "-1 h 59 min 55 s")])
def test_hms_text_follows_pythons_divmod(seconds, text):
    assert Timer()._Timer__to_hms(seconds) == text


def test_the_clock_and_logger_are_looked_up_at_each_call(clock, monkeypatch):
    seen = []

    class RecordingLogger:
        def error(self, message):
            seen.append(message)

    monkeypatch.setattr(lapclock, "Logger", RecordingLogger)
    timer = Timer()
    timer.total_runtime("x")
    assert seen == [" time error"]
    clock[0] = 5.0
    timer.tick("y")
    assert timer.p_time[-1] == ["y", 5.0]
