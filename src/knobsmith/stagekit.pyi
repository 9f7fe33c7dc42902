"""Reading, backing up and applying parameter values."""

import re
from collections.abc import Mapping
from typing import ClassVar

from common.log import Logger as Logger
from knobsmith.loadplan import Cfg as Cfg

class StageKit:
    BASH: ClassVar[str]
    _UNSAFE_CHARS: ClassVar[re.Pattern[str]]
    def get_params(self) -> dict[str, str]: ...
    def backup_params(self) -> dict[str, str]: ...
    def set_params(self, params: Mapping[str, object]) -> None: ...
