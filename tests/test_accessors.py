import gc

import pytest

import knobsmith.loadplan as loadplan
from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg


@pytest.fixture
def cfg(config):
    reader = Cfg()
    reader.yml = config
    return reader


def test_settings_of_a_plain_budget(cfg):
    settings = cfg.get_optimizer_info()
    assert list(settings) == [
        "knobs", "engine", "max_eval", "max_time", "random_starts", "split_count",
        "noise", "feature_filter", "feature_selector", "target", "eval_type",
    ]
    assert settings["engine"] == "bayes"
    assert (settings["max_eval"], settings["max_time"], settings["random_starts"]) == (10, 600, 4)
    assert (settings["split_count"], settings["noise"], settings["feature_filter"]) == (0, 9e-9, False)
    assert (settings["feature_selector"], settings["target"], settings["eval_type"]) == ("wefs", 95.0, "positive")
    assert not hasattr(cfg, "iter") and not hasattr(cfg, "time")


@pytest.mark.parametrize("iterations, starts", [(1, 1), (2, 1), (3, 1), (4, 1), (5, 2), (7, 2), (9, 3), (10, 4), (25, 10), (True, 1)])
def test_random_starts_are_two_fifths_of_the_budget(cfg, iterations, starts):
    cfg.yml["iterations"] = iterations
    assert cfg.get_optimizer_info()["random_starts"] == starts


@pytest.mark.parametrize("iterations", ["absent", 0, -4, 2.5, "10"])
@pytest.mark.parametrize("benchmark_time, derived", [(40.0, 8), (120.0, 2), (7, 43)])
def test_budget_is_derived_from_the_time_budget(cfg, iterations, benchmark_time, derived):
    cfg.iter = True
    if iterations == "absent":
        del cfg.yml["iterations"]
    else:
        cfg.yml["iterations"] = iterations
    cfg.yml["timeout"] = 300
    Timer().set_benchmark_time(benchmark_time)
    settings = cfg.get_optimizer_info()
    assert cfg.yml["iterations"] == derived and type(cfg.yml["iterations"]) is int
    assert (settings["max_eval"], settings["max_time"]) == (derived, 300)
    assert settings["random_starts"] == max(1, int(derived * 0.4))
    assert cfg.iter is False
    # The derived budget is now the file's own: a second call takes it as it is.
    cfg.iter = True
    assert cfg.get_optimizer_info()["max_eval"] == derived and cfg.iter is True


def test_no_benchmark_duration_yet_fails_before_changing_anything(cfg):
    cfg.iter = True
    cfg.yml["iterations"] = 0
    with pytest.raises(ZeroDivisionError):
        cfg.get_optimizer_info()
    assert cfg.yml["iterations"] == 0 and cfg.iter is True


@pytest.mark.parametrize("iterations, timeout", [("", ""), (0, None), (0, 2.5), ("absent", "absent")])
def test_no_usable_budget_is_a_name_error(cfg, iterations, timeout):
    for key, value in (("iterations", iterations), ("timeout", timeout)):
        if value == "absent":
            del cfg.yml[key]
        else:
            cfg.yml[key] = value
    cfg.time = True
    with pytest.raises(NameError) as raised:
        cfg.get_optimizer_info()
    assert type(raised.value) is NameError
    assert str(raised.value) == "Please provide the correct iteration or timeout parameters!"
    assert cfg.time is False


def test_the_default_skeleton_has_no_budget():
    cfg = Cfg()
    with pytest.raises(NameError, match="^Please provide the correct iteration or timeout parameters!$"):
        cfg.get_optimizer_info()
    assert cfg.time is False


@pytest.mark.parametrize("timeout, expected", [(0, 0), (None, None), ("", "")])
def test_max_time_is_whatever_the_file_holds(cfg, timeout, expected):
    cfg.yml["iterations"] = 5
    cfg.yml["timeout"] = timeout
    assert cfg.get_optimizer_info()["max_time"] == expected


def test_no_timeout_key_means_no_max_time(cfg):
    del cfg.yml["timeout"]
    assert "max_time" not in cfg.get_optimizer_info()


@pytest.mark.parametrize("value", [False, None, 0, "yes"])
def test_feature_filter_is_true_whenever_the_key_is_present(cfg, value):
    cfg.yml["feature_filter"] = value
    cfg.yml["split_count"] = 3
    cfg.yml["feature_selector"] = None
    settings = cfg.get_optimizer_info()
    assert (settings["feature_filter"], settings["split_count"], settings["feature_selector"]) == (True, 3, None)


def test_knob_of_a_full_object_hands_out_the_files_own_objects(cfg):
    info = cfg.yml["object"][0]["info"]
    info["options"] = ["a", "b"]
    (knob,) = cfg.get_optimizer_info()["knobs"]
    assert list(knob) == ["dtype", "name", "options", "type", "range", "items", "step", "ref"]
    assert knob == {
        "dtype": "int", "name": "p1", "options": ["a", "b"], "type": "discrete",
        "range": [1, 100], "items": [], "step": 1, "ref": 1,
    }
    assert knob["range"] is info["scope"] and knob["options"] is info["options"]


@pytest.mark.parametrize(
    "present, expected",
    [
        ({"options": ["a", "b"]}, {"options": ["a", "b"], "range": None, "items": None, "step": 0, "ref": "a"}),
        ({"options": []}, {"options": [], "range": None, "items": None, "step": 0, "ref": None}),
        ({}, {"options": None, "range": None, "items": None, "step": 0, "ref": None}),
        ({"step": None, "items": None}, {"options": None, "range": None, "items": None, "step": None, "ref": None}),
    ],
)
def test_knob_of_a_partial_object(cfg, present, expected):
    info = {"type": "discrete", "dtype": "string", **present}
    cfg.yml["object"] = [{"name": "p", "info": info}]
    (knob,) = cfg.get_optimizer_info()["knobs"]
    assert {key: knob[key] for key in expected} == expected
    # The collector sees it as it would see a dict of the same values made in Python.
    assert gc.is_tracked(knob) == gc.is_tracked({**knob})


def test_a_null_scope_cannot_give_a_reference(cfg):
    cfg.yml["object"][0]["info"]["scope"] = None
    with pytest.raises(TypeError):
        cfg.get_optimizer_info()


@pytest.mark.parametrize(
    "target, value, warned",
    [("95%", 95.0, False), ("99.5%", 99.5, False), (" 7 %%", 7.0, False), ("95", 0.0, True), (95, 0.0, True), (None, 0.0, True)],
)
def test_performance_target(cfg, log_lines, target, value, warned):
    cfg.yml["evaluations"][0]["info"]["target"] = target
    result = cfg.get_performance_target()
    assert result == value and type(result) is float
    assert log_lines() == ([("WARNING", "optimize target unlimited")] if warned else [])


def test_no_target_key_gives_zero_quietly(cfg, log_lines):
    del cfg.yml["evaluations"][0]["info"]["target"]
    assert cfg.get_performance_target() == 0.0
    assert log_lines() == []


@pytest.mark.parametrize("target", ["%", "abc%"])
def test_a_percent_sign_without_a_number_is_a_value_error(cfg, target):
    cfg.yml["evaluations"][0]["info"]["target"] = target
    with pytest.raises(ValueError):
        cfg.get_performance_target()


def test_only_the_first_evaluation_counts(cfg):
    cfg.yml["evaluations"].append({"name": "lat", "info": {"get": "cat lat", "type": "negative", "target": "5%"}})
    assert cfg.get_performance_get_script() == {"qps": "cat qps.txt"}
    assert cfg.get_evaluations_type() == "positive"
    assert cfg.get_performance_target() == 95.0
    assert cfg.get_optimizer_info()["eval_type"] == "positive"


def test_command_accessors(cfg):
    cfg.yml["startworkload"] = "svc start"
    cfg.yml["stopworkload"] = "svc stop"
    second = {"name": "p2", "info": {"get": "cat p2", "set": "echo $value $value > p2", "needrestart": "true"}}
    cfg.yml["object"].append(second)
    assert cfg.get_benchmark_script() == "sh bench.sh"
    assert cfg.get_params_get_script() == {"p1": {"get": "cat p1"}, "p2": {"get": "cat p2"}}
    assert cfg.get_params_set_script() == {
        "p1": {"set": "echo $value > p1", "needrestart": "false"},
        "p2": {"set": "echo $value $value > p2", "needrestart": "true"},
    }
    assert list(cfg.get_params_set_script()["p1"]) == ["set", "needrestart"]
    assert cfg.get_workload_options() == {"start": "svc start", "stop": "svc stop"}


def test_a_repeated_name_keeps_its_place_and_the_later_commands(cfg):
    objects = cfg.yml["object"]
    objects.append({"name": "p2", "info": {"get": "cat p2", "set": "s2", "needrestart": "false"}})
    objects.append({"name": "p1", "info": {"get": "cat again", "set": "s3", "needrestart": "true"}})
    assert list(cfg.get_params_get_script().items()) == [("p1", {"get": "cat again"}), ("p2", {"get": "cat p2"})]
    assert cfg.get_params_set_script()["p1"] == {"set": "s3", "needrestart": "true"}


@pytest.mark.parametrize("accessor, path", [("get_benchmark_script", ("benchmark",)), ("get_evaluations_type", ("evaluations", 0, "info", "type"))])
def test_text_accessors_refuse_other_kinds(cfg, accessor, path):
    holder = cfg.yml
    for step in path[:-1]:
        holder = holder[step]
    holder[path[-1]] = None
    assert getattr(cfg, accessor)() is None
    holder[path[-1]] = 3
    with pytest.raises(TypeError):
        getattr(cfg, accessor)()


def test_missing_keys_raise_the_hosts_errors(cfg):
    cfg.yml["evaluations"] = []
    with pytest.raises(IndexError):
        cfg.get_performance_get_script()
    del cfg.yml["stopworkload"]
    with pytest.raises(KeyError):
        cfg.get_workload_options()


def test_the_timer_is_looked_up_at_each_call(cfg, monkeypatch):
    class SlowBenchmark:
        benchmark_time = 100.0

    monkeypatch.setattr(loadplan, "Timer", SlowBenchmark)
    cfg.yml["iterations"] = 0
    cfg.yml["timeout"] = 1000
    assert cfg.get_optimizer_info()["max_eval"] == 10


class Held(dict):
    """A dict of another class: the accessors read it the general way, as Python code would."""


def held(value):
    if isinstance(value, dict):
        return Held({key: held(item) for key, item in value.items()})
    return value


def answers(reader, name):
    try:
        return "value", getattr(reader, name)()
    except Exception as error:  # noqa: BLE001 - the error itself is what is compared
        return "error", type(error), str(error)


@pytest.mark.parametrize("accessor", ["get_optimizer_info", "get_params_get_script", "get_params_set_script"])
@pytest.mark.parametrize(
    "change",
    [
        lambda objects: None,
        lambda objects: objects[0]["info"].pop("dtype"),
        lambda objects: objects[0]["info"].pop("get"),
        lambda objects: objects[0].pop("name"),
        lambda objects: objects[0]["info"].update(scope=[]),
        lambda objects: objects[0]["info"].update(scope=(3, 4)),
        lambda objects: objects[0]["info"].update(scope="1-9"),
        lambda objects: objects[0]["info"].pop("scope"),
        lambda objects: objects[0]["info"].update(options=[]),
        lambda objects: objects[0].update(name=["unhashable"]),
        lambda objects: objects.append(dict(objects[0])),  # a repeated name
        lambda objects: objects.append("not an object"),
        lambda objects: objects[0]["info"]["scope"].__setitem__(0, 7),
        lambda objects: objects[0]["info"]["scope"].clear(),
        lambda objects: objects[0]["info"].update(get="cat p9", set="echo $value > p9", dtype="float"),
        lambda objects: objects.__setitem__(0, {**objects[0], "name": "p9"}),
    ],
)
def test_plain_dicts_and_other_mappings_give_the_same_answers(cfg, accessor, change):
    # A first answer, which its caller changes, comes before the change to the file's objects:
    # neither may show in the answers that follow.
    first = getattr(cfg, accessor)()
    for made in first["knobs"] if "knobs" in first else first.values():
        made.clear()
    change(cfg.yml["object"])
    plain = answers(cfg, accessor)
    cfg.yml = {**cfg.yml, "object": [held(obj) for obj in cfg.yml["object"]]}
    assert answers(cfg, accessor) == plain
