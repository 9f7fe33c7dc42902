"""What the tests' private database servers share: a free port, and a skip that CI turns into a failure."""

from __future__ import annotations

import os
import socket

import pytest


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def require(missing: str | None) -> None:
    """Skips the calling test for the reason `missing` names; under CI that is a failure."""
    if missing is None:
        return
    if os.environ.get("CI"):
        pytest.fail(f"{missing}; CI is set, so these tests may not be skipped", pytrace=False)
    pytest.skip(missing)
