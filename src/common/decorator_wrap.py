"""Class decorators."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any


class DecoratorWrap:
    @staticmethod
    def singleton(cls: type) -> Callable[..., Any]:
        """One instance of `cls` per process: the first call constructs it, later calls return it."""
        lock = threading.Lock()
        instances: list[Any] = []

        def get_instance(*args: Any, **kwargs: Any) -> Any:
            with lock:
                if not instances:
                    instances.append(cls(*args, **kwargs))
                return instances[0]

        get_instance.__name__ = cls.__name__
        get_instance.__qualname__ = cls.__qualname__
        get_instance.__module__ = cls.__module__
        get_instance.__doc__ = cls.__doc__
        get_instance.__wrapped__ = cls  # type: ignore[attr-defined]
        return get_instance
