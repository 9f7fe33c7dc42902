"""The progress bar of a tuning run."""

from __future__ import annotations

import sys


class Progress:
    """A progress bar on standard error (tqdm when it is there and standard error is a terminal)."""

    def __init__(self, total: int, initial: int, wanted: bool | None) -> None:
        self.bar = None
        show = sys.stderr.isatty() if wanted is None else wanted
        if show:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, initial=initial, desc="tuning", unit="trial", file=sys.stderr)

    def update(self, text: str) -> None:
        if self.bar is not None:
            self.bar.set_postfix_str(text, refresh=False)
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
