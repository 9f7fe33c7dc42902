"""The start of a tuning run: the current values read, kept and checked, and the baseline
measured on them."""

from __future__ import annotations

import statistics
from collections.abc import Callable
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.params import shellsafe, state
from knobsmith.params.applying import Applier, back_up, same_value
from knobsmith.params.workload import Workload
from knobsmith.tuner.failures import TrialFailed, TuneError
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.plan import Options, TuningPlan


class Starting:
    """What a run of one host and a fleet's worker do alike before their first trial."""

    plan: TuningPlan
    options: Options
    say: Callable[[str], None]
    state_key: str
    workload: Workload
    measurer: Measurer | None
    backup: dict[str, str]
    applier: Applier | None
    baseline_others: dict[str, list[float]]  # the other evaluations' measurements of the baseline

    def _back_up_and_measure(self, kit: Any) -> tuple[float, list[float]]:
        """Reads and keeps the current values, then measures the baseline on them."""
        assert self.measurer is not None
        backup, unread = back_up(kit, self.plan.cfg)
        self._keep_originals(backup, unread)
        if unread:
            # A value not backed up could not be put back at the end.
            kept = (f"{', '.join(backup)} {'is' if len(backup) == 1 else 'are'} backed up in "
                    f"bak_{self.plan.project}.ini" if backup else "nothing was backed up")
            raise TuneError("; ".join(f"{name} could not be read: {why}" for name, why in unread.items())
                            + f"; not tuning, nothing was changed ({kept})")
        self.backup = self._safe_backup(backup, "the backup of the current values")
        self.applier = Applier(kit, self.plan.cfg, self.workload, known=self.backup)
        measurements, seconds = self._baseline()
        baseline = statistics.median(measurements)
        Timer().set_benchmark_time(seconds)
        spread = max(measurements) - min(measurements)
        self.say(f"baseline {self.plan.objective.name} = {baseline:g}"
                 + (f" (spread {spread:g} over {len(measurements)} runs)" if spread else "")
                 + f" (benchmark {seconds:.1f} s)")
        return baseline, measurements

    def _safe_backup(self, backup: dict[str, str], what: str) -> dict[str, str]:
        """`backup` when every value of it can be put back through its set command: every way a
        run ends (the end itself, the confirmation's baseline, an interruption) applies it, so a
        value the shell could read as syntax stops the run before anything is changed."""
        refused = shellsafe.refusals(backup, shellsafe.declarations(self.plan.cfg))
        if refused:
            raise TuneError(f"{what} could not be put back safely: {'; '.join(refused)}; "
                            "not tuning, nothing was changed")
        return backup

    def _keep_originals(self, backup: dict[str, str], unread: dict[str, str]) -> None:
        """The first value read of each parameter is kept for good (see state.keep_originals);
        later runs say when what they find differs from the originals."""
        kept = state.originals(self.state_key) or {}
        for line in state.keep_originals(self.state_key, backup, self.options.config,
                                         shellsafe.declarations(self.plan.cfg), unread):
            self.say(line)
        differing = [f"{name}={value} (originally {kept[name]})" for name, value in backup.items()
                     if name in kept and not same_value(kept[name], value)]
        if differing:
            self.say("the current values differ from the originals (a previous run left values applied): "
                     + ", ".join(differing) + "; the baseline is measured on what is applied now; "
                     "knobsmith restore " + self.options.config + " puts the originals back")

    def _baseline(self) -> tuple[list[float], float]:
        """The baseline's measurements (after the warm-up runs) and the last benchmark's seconds."""
        assert self.measurer is not None
        try:
            for number in range(self.options.warmup):
                self.measurer.measure(f"warm-up {number + 1}")
            values, seconds, self.baseline_others = self.measurer.repeated(
                ["baseline"] * max(1, self.options.repeats))
        except TrialFailed as failure:
            raise TuneError(f"the baseline could not be measured: {failure}") from None
        return values, seconds
