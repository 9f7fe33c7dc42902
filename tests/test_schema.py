"""The JSON Schema that editors use agrees with the validator on the shipped examples and common faults."""

import copy
import json
import pathlib

import jsonschema
import pytest
import yaml

import knobsmith
from knobsmith.vetplan import Vetplan

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.yaml"))
SCHEMA = json.loads((pathlib.Path(knobsmith.__file__).parent / "schema" / "tuning-config.schema.json").read_text())


def load(path):
    return yaml.load(path.read_text(encoding="utf-8"), Loader=yaml.FullLoader)


def test_the_schema_is_a_valid_schema():
    jsonschema.Draft7Validator.check_schema(SCHEMA)


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda path: path.name)
def test_shipped_examples_pass_both(path):
    config = load(path)
    jsonschema.validate(config, SCHEMA)
    assert Vetplan().is_valid(config) is True


def change(config, path, value):
    holder = config
    for step in path[:-1]:
        holder = holder[step]
    if value == "absent":
        del holder[path[-1]]
    else:
        holder[path[-1]] = value


@pytest.mark.parametrize(
    "path, value",
    [
        (("iterations",), 0),
        (("iterations",), "10"),
        (("iterations",), 1.5),
        (("timeout",), -1),
        (("benchmark",), "absent"),
        (("benchmark",), "   "),
        (("benchmark",), "run; clean"),
        (("startworkload",), None),
        (("stopworkload",), "a && b"),
        (("evaluations",), []),
        (("evaluations", 0, "info", "type"), "Positive"),
        (("evaluations", 0, "info", "target"), "95"),
        (("evaluations", 0, "info", "target"), "0%"),
        (("evaluations", 0, "info", "get"), "cat $(x)"),
        (("object", 0, "info", "needrestart"), True),
        (("object", 0, "info", "dtype"), "bool"),
        (("object", 0, "info", "scope"), "absent"),
        (("object", 0, "info", "scope"), [1]),
        (("object", 0, "info", "step"), "1"),
        (("object", 0, "info", "items"), {"a": 1}),
        (("object", 0, "name"), 42),
        (("object", 2, "info", "set"), "echo `id`"),
    ],
)
def test_faults_the_validator_rejects_are_rejected(path, value):
    config = copy.deepcopy(load(EXAMPLES[[p.name for p in EXAMPLES].index("demo.yaml")]))
    config["object"].append({"name": "mode", "info": {"desc": "", "get": "cat m", "set": "echo $value > m",
                                                      "needrestart": "false", "type": "discrete", "dtype": "string",
                                                      "options": ["a", "b"]}})
    change(config, path, value)
    assert Vetplan().is_valid(config) is False
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate(config, SCHEMA)
