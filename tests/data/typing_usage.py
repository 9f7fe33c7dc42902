"""Typical use of the modules; mypy --strict checks it against the shipped stubs."""

from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.recommend import Adaptenv, ParamsItem, Paramsdb, Recomd
from knobsmith.stagekit import StageKit
from knobsmith.vetplan import Vetplan

loaded: bool = Cfg().init("conf/demo.yaml")
settings: dict[str, Any] = Cfg().get_optimizer_info()
target: float = Cfg().get_performance_target()
commands: dict[str, dict[str, str]] = Cfg().get_params_set_script()
valid: bool = Vetplan().is_valid({"iterations": 1})
Vetplan.need_restart = False
values: dict[str, str] = StageKit().backup_params()
StageKit().set_params({"vm.swappiness": 10})
Timer().tick("start")
elapsed: int | None = Timer().total_runtime("end")
Timer().set_benchmark_time(12.5)
db = Paramsdb()
items: list[ParamsItem] = db.selectparams("cpu") if db.loaddb("{}") else []
kept: list[ParamsItem] = Adaptenv().handle(items)
written: bool = Recomd().manager("io")
