"""A host's parameters: reading, backing up, applying and restoring them, below the tuner and the
recommender, which both use it (it imports neither).

- `shellsafe`: which commands and values the shell could read as syntax;
- `processes`: commands as process groups of their own; `signals`: SIGTERM and SIGHUP as Ctrl-C;
- `workload`: stopping, starting and waiting for the workload;
- `applying`: applying values in the right order, restarting when needed, reading them back;
- `state`: the original and last applied values kept between runs;
- `backup_file`: the backup file read back as written;
- `operations`: backup, apply, restore and diff, each answering what happened.
"""


class ParamsError(Exception):
    """An operation that could not be done, raised before anything ran; `told` are lines to tell
    before its message (the other values refused, the parameters left out)."""

    def __init__(self, message: str, told: list[str] | None = None) -> None:
        super().__init__(message)
        self.told = told or []
