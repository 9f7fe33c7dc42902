"""Plain-Python renderings of the reader's loading and accessors and of the validator's checks.

What the compiled modules do, written as a Python module of the same design would: key names as
class attributes, every check a static method reached through the class, a first fault ending the
walk. The benchmarks time them next to the project's modules on the same configurations. They do
the same checks in the same order; a fault is logged in a shorter form than the validator's.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Mapping
from typing import Any

import yaml

from common.tool_cmd import ToolCmd
from knobsmith.lapclock import Timer
from knobsmith.yaml_bounds import bounded_loader

LOGGER = logging.getLogger("knobsmith.plain")
MAX_NESTING = 100
SHELL_RULE = r"[;!`\n]|&&|\|\||\$\(|\$\{"


def reject(message: str) -> bool:
    LOGGER.error(message)
    return False


def is_mapping(value: Any) -> bool:
    return isinstance(value, dict) or isinstance(value, Mapping)


def within_nesting_bound(value: Any) -> bool:
    """Each container's height worked out once, however many places hold it."""
    heights: dict[int, int] = {}

    def height(node: Any, depth: int) -> int:
        if not isinstance(node, (dict, list, tuple)):
            return 0
        if depth + 1 > MAX_NESTING:
            return -1
        known = heights.get(id(node))
        if known is not None:
            return -1 if depth + known > MAX_NESTING else known
        below = 0
        children = [child for pair in node.items() for child in pair] if isinstance(node, dict) else tuple(node)
        for child in children:
            child_height = height(child, depth + 1)
            if child_height < 0:
                return -1
            below = max(below, child_height)
        heights[id(node)] = below + 1
        return below + 1

    return height(value, 0) >= 0 or reject("nested too deep")


class PlainVetplan:
    ITER = "iterations"
    BENCHMARK = "benchmark"
    TIMEOUT = "timeout"
    STARTWORKLOAD = "startworkload"
    STOPWORKLOAD = "stopworkload"
    EVAL = "evaluations"
    NAME = "name"
    INFO = "info"
    GET = "get"
    TARGET = "target"
    TYPE = "type"
    OBJECT = "object"
    SET = "set"
    DESC = "desc"
    NEEDRESTART = "needrestart"
    OPTIONS = "options"
    DTYPE = "dtype"
    SCOPE = "scope"
    STEP = "step"
    ITEMS = "items"
    SHELL_METACHARACTERS = re.compile(SHELL_RULE)
    need_restart = False

    @staticmethod
    def check_shell_metacharacters(value: Any, field_name: Any) -> bool:
        if not isinstance(value, str) or not PlainVetplan.SHELL_METACHARACTERS.search(value):
            return True
        return reject(f"{field_name} holds a shell metacharacter")

    def is_valid(self, cfg: Any) -> bool:
        PlainVetplan.need_restart = False
        if not within_nesting_bound(cfg):
            return False
        if not is_mapping(cfg):
            return reject("not a mapping")
        return all(
            getattr(self, name)(cfg)
            for name in ("check_iterations", "check_timeout", "check_benchmark", "check_workload",
                         "check_evaluations", "check_object")
        )

    @staticmethod
    def check_positive_integer(name: str, value: Any) -> bool:
        if not isinstance(value, int):
            return reject(f"{name} not an integer")
        if value <= 0:
            return reject(f"{name} not positive")
        return True

    @staticmethod
    def check_iterations(cfg: Any) -> bool:
        name = PlainVetplan.ITER
        if not PlainVetplan.check_exists(name, cfg):
            return reject(f"missing {name}")
        return PlainVetplan.check_positive_integer(name, cfg[name])

    @staticmethod
    def check_timeout(cfg: Any) -> bool:
        name = PlainVetplan.TIMEOUT
        if not PlainVetplan.check_exists(name, cfg):
            return reject(f"missing {name}")
        if not cfg[name]:
            return PlainVetplan.check_iterations(cfg)
        return PlainVetplan.check_positive_integer(name, cfg[name])

    @staticmethod
    def check_benchmark(cfg: Any) -> bool:
        name = PlainVetplan.BENCHMARK
        if not PlainVetplan.check_exists(name, cfg):
            return reject(f"missing {name}")
        value = cfg[name]
        if not isinstance(value, str):
            return reject(f"{name} not a string")
        if not value.strip():
            return reject(f"{name} empty")
        return PlainVetplan.check_shell_metacharacters(value, name)

    @staticmethod
    def check_workload(cfg: Any) -> bool:
        for name in (PlainVetplan.STARTWORKLOAD, PlainVetplan.STOPWORKLOAD):
            if not PlainVetplan.check_exists(name, cfg):
                return reject(f"missing {name}")
            value = cfg[name]
            if not isinstance(value, str):
                return reject(f"{name} not a string")
            if not PlainVetplan.check_shell_metacharacters(value, name):
                return False
        return True

    @staticmethod
    def check_workload_notnone(cfg: Any) -> bool:
        for name in (PlainVetplan.STARTWORKLOAD, PlainVetplan.STOPWORKLOAD):
            if not cfg[name]:
                return reject(f"{name} needed for a restart")
        return True

    # --- evaluations -----------------------------------------------------------------------------

    @staticmethod
    def eval_label(eval_item: Any) -> str:
        return f"{PlainVetplan.EVAL}[{eval_item[PlainVetplan.NAME]}]"

    @staticmethod
    def check_evaluations(cfg: Any) -> bool:
        key = PlainVetplan.EVAL
        if not PlainVetplan.check_exists(key, cfg):
            return reject(f"missing {key}")
        evaluations = cfg[key]
        if not isinstance(evaluations, list):
            return reject(f"{key} not a list")
        if len(evaluations) == 0:
            return reject(f"{key} empty")
        for index, element in enumerate(evaluations):
            if not is_mapping(element):
                reject(f"{key}[{index}] not a mapping")
                continue
            if not PlainVetplan.check_evaluations_name(element):
                return False
            if not PlainVetplan.check_exists(PlainVetplan.INFO, element):
                return reject("missing info")
            if not is_mapping(element[PlainVetplan.INFO]):
                return reject("info not a mapping")
            for field, check in (("get", PlainVetplan.check_evaluations_info_get),
                                 ("type", PlainVetplan.check_evaluations_info_type),
                                 ("target", PlainVetplan.check_evaluations_info_target)):
                if not check(element):
                    return reject(f"{PlainVetplan.eval_label(element)}.info.{field} failed")
        return True

    @staticmethod
    def check_evaluations_name(eval_item: Any) -> bool:
        if not PlainVetplan.check_exists(PlainVetplan.NAME, eval_item):
            return reject("missing name")
        if not isinstance(eval_item[PlainVetplan.NAME], str):
            return reject("name not a string")
        return True

    @staticmethod
    def check_evaluations_info_get(eval_item: Any) -> bool:
        info = eval_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(PlainVetplan.GET, info):
            return reject("missing get")
        command = info[PlainVetplan.GET]
        field = f"{PlainVetplan.eval_label(eval_item)}.{PlainVetplan.INFO}.{PlainVetplan.GET}"
        if not isinstance(command, str):
            return reject(f"{field} not a string")
        return PlainVetplan.check_shell_metacharacters(command, field)

    @staticmethod
    def check_evaluations_info_type(eval_item: Any) -> bool:
        info = eval_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(PlainVetplan.TYPE, info):
            return reject("missing type")
        if not PlainVetplan.check_options(info[PlainVetplan.TYPE], ["positive", "negative"]):
            return reject("bad type")
        return True

    @staticmethod
    def check_evaluations_info_target(eval_item: Any) -> bool:
        info = eval_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(PlainVetplan.TARGET, info):
            return reject("missing target")
        target = info[PlainVetplan.TARGET]
        if target is None or target == "":
            return True
        field = f"{PlainVetplan.eval_label(eval_item)}.{PlainVetplan.INFO}.{PlainVetplan.TARGET}"
        if not isinstance(target, str):
            return reject(f"{field} not a string")
        if not re.match(r"^\d+(\.\d+)?%$", target):
            return reject(f"{field} not a percentage")
        try:
            number = float(target.rstrip("%"))
        except ValueError:
            return reject(f"{field} unreadable")
        if number <= 0:
            return reject(f"{field} not positive")
        return True

    # --- objects ---------------------------------------------------------------------------------

    @staticmethod
    def check_object(cfg: Any) -> bool:
        key = PlainVetplan.OBJECT
        if not PlainVetplan.check_exists(key, cfg):
            return reject(f"missing {key}")
        objects = cfg[key]
        if not isinstance(objects, list):
            return reject(f"{key} not a list")
        for index, obj_item in enumerate(objects):
            if not is_mapping(obj_item):
                return reject(f"{key}[{index}] not a mapping")
            if not PlainVetplan.check_exists(PlainVetplan.NAME, obj_item):
                return reject(f"missing name-{index}")
            if not PlainVetplan.check_exists(PlainVetplan.INFO, obj_item):
                return reject(f"missing info-{index}")
            if not PlainVetplan.check_objects_name(obj_item):
                return False
            if not is_mapping(obj_item[PlainVetplan.INFO]):
                return reject("info not a mapping")
            if not PlainVetplan.check_objects_info(obj_item):
                return False
        if PlainVetplan.need_restart:
            return PlainVetplan.check_workload_notnone(cfg)
        return True

    @staticmethod
    def check_objects_name(obj_item: Any) -> bool:
        if not PlainVetplan.check_exists(PlainVetplan.NAME, obj_item):
            return reject("missing name")
        return isinstance(obj_item[PlainVetplan.NAME], str) or reject("name not a string")

    @staticmethod
    def check_objects_info(obj_item: Any) -> bool:
        for field, check in (
            ("desc", PlainVetplan.check_objects_info_desc), ("get", PlainVetplan.check_objects_info_get),
            ("set", PlainVetplan.check_objects_info_set), ("needrestart", PlainVetplan.check_objects_info_needrestart),
            ("type", PlainVetplan.check_objects_info_type), ("dtype", PlainVetplan.check_objects_info_dtype),
            ("scope", PlainVetplan.check_objects_info_scope), ("step", PlainVetplan.check_objects_info_step),
            ("items", PlainVetplan.check_objects_info_items), ("options", PlainVetplan.check_objects_info_options),
        ):
            if not check(obj_item):
                return reject(f"object[{obj_item[PlainVetplan.NAME]}].info.{field} failed")
        return True

    @staticmethod
    def check_objects_info_desc(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(PlainVetplan.DESC, info):
            return reject("missing desc")
        desc = info[PlainVetplan.DESC]
        return not desc or isinstance(desc, str) or reject("desc not a string")

    @staticmethod
    def check_command(obj_item: Any, key: str) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(key, info):
            return reject(f"missing {key}")
        command = info[key]
        field = f"objects[{obj_item[PlainVetplan.NAME]}].{key}"
        if not isinstance(command, str):
            return reject(f"{field} not a string")
        return PlainVetplan.check_shell_metacharacters(command, field)

    @staticmethod
    def check_objects_info_get(obj_item: Any) -> bool:
        return PlainVetplan.check_command(obj_item, PlainVetplan.GET)

    @staticmethod
    def check_objects_info_set(obj_item: Any) -> bool:
        return PlainVetplan.check_command(obj_item, PlainVetplan.SET)

    @staticmethod
    def check_objects_info_needrestart(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(PlainVetplan.NEEDRESTART, info):
            return reject("missing needrestart")
        flag = info[PlainVetplan.NEEDRESTART]
        if not isinstance(flag, str):
            return reject("needrestart not a string")
        if not PlainVetplan.check_options(flag, ["true", "false"]):
            return reject("needrestart neither true nor false")
        if flag == "true":
            PlainVetplan.need_restart = True
        return True

    @staticmethod
    def check_word(obj_item: Any, key: str, allowed: list[str]) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.check_exists(key, info):
            return reject(f"missing {key}")
        return PlainVetplan.check_options(info[key], allowed) or reject(f"bad {key}")

    @staticmethod
    def check_objects_info_type(obj_item: Any) -> bool:
        return PlainVetplan.check_word(obj_item, PlainVetplan.TYPE, ["discrete", "continuous"])

    @staticmethod
    def check_objects_info_dtype(obj_item: Any) -> bool:
        return PlainVetplan.check_word(obj_item, PlainVetplan.DTYPE, ["int", "float", "string"])

    @staticmethod
    def is_discrete_number(info: Any) -> bool:
        return info[PlainVetplan.TYPE] == "discrete" and info[PlainVetplan.DTYPE] in ("int", "float")

    @staticmethod
    def check_objects_info_scope(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.is_discrete_number(info) and info[PlainVetplan.TYPE] != "continuous":
            return True
        if not PlainVetplan.check_exists(PlainVetplan.SCOPE, info):
            return reject("missing scope")
        scope = info[PlainVetplan.SCOPE]
        if not isinstance(scope, list):
            return reject("scope not a list")
        if len(scope) != 2:
            return reject("scope not two values")
        try:
            out_of_order = scope[0] >= scope[1]
        except TypeError:
            return reject("scope bounds not comparable")
        return not out_of_order or reject("scope out of order")

    @staticmethod
    def check_objects_info_step(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.is_discrete_number(info):
            return True
        if not PlainVetplan.check_exists(PlainVetplan.STEP, info):
            return reject("missing step")
        return isinstance(info[PlainVetplan.STEP], (int, float)) or reject("step not a number")

    @staticmethod
    def check_objects_info_items(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if not PlainVetplan.is_discrete_number(info):
            return True
        if not PlainVetplan.check_exists(PlainVetplan.ITEMS, info):
            return reject("missing items")
        return isinstance(info[PlainVetplan.ITEMS], list) or reject("items not a list")

    @staticmethod
    def check_objects_info_options(obj_item: Any) -> bool:
        info = obj_item[PlainVetplan.INFO]
        if info[PlainVetplan.DTYPE] != "string":
            return True
        if not PlainVetplan.check_exists(PlainVetplan.OPTIONS, info):
            return reject("missing options")
        options = info[PlainVetplan.OPTIONS]
        if not isinstance(options, list):
            return reject("options not a list")
        if len(options) == 0:
            return reject("options empty")
        field = f"object[{obj_item[PlainVetplan.NAME]}].{PlainVetplan.OPTIONS}"
        for option in options:
            if not isinstance(option, str):
                return reject("options not strings")
            if not PlainVetplan.check_shell_metacharacters(option, field):
                return False
        return True

    @staticmethod
    def check_exists(option: Any, cfg: Any) -> bool:
        return option in cfg

    @staticmethod
    def check_options(item: Any, options: Any) -> bool:
        return item in options


class PlainCfg:
    """The reader: loading as the compiled one does it with the pure parser, and the accessors."""

    def __init__(self) -> None:
        self.yml: Any = {}
        self.project = ""

    def init(self, config_file: str) -> bool:
        self.project = ToolCmd().parse_projectname(config_file)
        self.iter = True
        self.time = True
        try:
            with open(config_file, "r", encoding="utf-8") as stream:
                text = stream.read()
            yml = yaml.load(text, Loader=bounded_loader)
            self.yml = yml
            if not yml:
                return reject("Yaml  error")
        except Exception as error:  # the compiled reader words each kind; one line is enough here
            return reject(f"Yaml  error: {error}")
        return PlainVetplan().is_valid(yml)

    def get_project(self) -> str:
        return self.project

    @staticmethod
    def _optional_str(value: Any) -> str | None:
        if value is not None and not isinstance(value, str):
            raise TypeError(f"Expected str, got {type(value).__name__}")
        return value

    def get_benchmark_script(self) -> str | None:
        return self._optional_str(self.yml["benchmark"])

    def get_performance_get_script(self) -> dict[str, str]:
        evaluation = self.yml["evaluations"][0]
        return {evaluation["name"]: evaluation["info"]["get"]}

    def get_performance_target(self) -> float:
        info = self.yml["evaluations"][0]["info"]
        if "target" not in info:
            return 0.0
        text = str(info["target"])
        if text.endswith("%"):
            return float(text.rstrip("%"))
        LOGGER.warning("optimize target unlimited")
        return 0.0

    def get_evaluations_type(self) -> str | None:
        return self._optional_str(self.yml["evaluations"][0]["info"]["type"])

    def get_optimizer_info(self) -> dict[str, Any]:
        y = self.yml
        if not ("iterations" in y and isinstance(y["iterations"], int) and y["iterations"] > 0):
            if "timeout" in y and isinstance(y["timeout"], int):
                y["iterations"] = round(y["timeout"] / Timer().benchmark_time)
                self.iter = False
            else:
                self.time = False
                raise NameError("Please provide the correct iteration or timeout parameters!")
        knobs = []
        for obj in y["object"]:
            info = obj["info"]
            ref = None
            if "scope" in info:
                ref = info["scope"][0]
            elif "options" in info and info["options"]:
                ref = info["options"][0]
            knobs.append({
                "dtype": info["dtype"], "name": obj["name"], "options": info.get("options"), "type": info["type"],
                "range": info.get("scope"), "items": info.get("items"), "step": info.get("step", 0), "ref": ref,
            })
        settings: dict[str, Any] = {"knobs": knobs, "engine": "bayes", "max_eval": y["iterations"]}
        if "timeout" in y:
            settings["max_time"] = y["timeout"]
        settings["random_starts"] = max(int(y["iterations"] * 0.4), 1)
        settings["split_count"] = y.get("split_count", 0)
        settings["noise"] = 9e-9
        settings["feature_filter"] = "feature_filter" in y
        settings["feature_selector"] = y.get("feature_selector", "wefs")
        settings["target"] = self.get_performance_target()
        settings["eval_type"] = y["evaluations"][0]["info"]["type"]
        return settings

    def _commands(self, fields: tuple[str, ...]) -> dict[str, dict[str, str]]:
        return {obj["name"]: {field: obj["info"][field] for field in fields} for obj in self.yml["object"]}

    def get_params_get_script(self) -> dict[str, dict[str, str]]:
        return self._commands(("get",))

    def get_params_set_script(self) -> dict[str, dict[str, str]]:
        return self._commands(("set", "needrestart"))

    def get_workload_options(self) -> dict[str, str]:
        return {"start": self.yml["startworkload"], "stop": self.yml["stopworkload"]}
