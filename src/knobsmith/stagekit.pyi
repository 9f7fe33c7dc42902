"""Reading, backing up and applying parameter values."""

import re
from collections.abc import Iterable, Mapping
from typing import ClassVar, TypedDict

from common.log import Logger as Logger
from knobsmith.loadplan import Cfg as Cfg

class Applied(TypedDict):
    name: str
    value: object
    command: str
    refused: bool
    status: int | None
    timed_out: bool
    output: str
    error: str
    needrestart: bool

class Reading(TypedDict):
    command: str
    refused: bool
    status: int | None
    timed_out: bool
    value: str | None
    error: str

class StageKit:
    BASH: ClassVar[str]
    COMMAND_TIMEOUT: ClassVar[float | None]
    _UNSAFE_CHARS: ClassVar[re.Pattern[str]]
    def get_params(self) -> dict[str, str]: ...
    def backup_params(self) -> dict[str, str]: ...
    def set_params(self, params: Mapping[str, object]) -> None: ...
    def apply_params(self, params: Mapping[str, object]) -> list[Applied]: ...
    def read_params(self, names: Iterable[str] | None = None) -> dict[str, Reading]: ...
