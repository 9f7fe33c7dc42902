"""A host's parameters: reading, backing up, applying and restoring them, below the tuner and the
recommender, which both use it (it imports neither).

- `shellsafe`: which commands and values the shell could read as syntax;
- `processes`: commands as process groups of their own; `signals`: SIGTERM and SIGHUP as Ctrl-C;
- `workload`: stopping, starting and waiting for the workload;
- `applying`: applying values in the right order, restarting when needed, reading them back;
- `state`: the original and last applied values kept between runs;
- `backup_file`: the backup file read back as written.
"""


class ParamsError(Exception):
    """An operation that could not be done; `told` are lines to tell before its message (what was
    refused, where a file stops being YAML)."""

    def __init__(self, message: str, told: list[str] | None = None) -> None:
        super().__init__(message)
        self.told = told or []
