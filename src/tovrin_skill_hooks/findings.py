"""What `status` finds, per host, per file and per registered entry of this hook; `install` and
`uninstall` read the same. `as_json` gives the form that `status --json` prints."""

from dataclasses import dataclass, field


@dataclass
class Finding:
    """One entry of this hook in a host's file, and what the host does with it."""
    matcher: object
    command: object
    timeout: object
    async_: bool = False
    interpreter: str | None = None   # the one the launcher hands the event to
    cli: str | None = None           # the product CLI that the hook looks for beside it
    # What keeps the entry from recording uses, and what may lose some.
    problems: list[str] = field(default_factory=list)
    risks: list[str] = field(default_factory=list)
    # On Windows: whether each of the host's shells starts the launcher for the command.
    shells: dict[str, bool] | None = None
    # Codex's approval of the entry: the key and hash it records, and its state.
    approval_key: str | None = None
    hash: str | None = None
    # The problems that the user settles in Codex itself, once; None when Codex skips the file.
    user_steps: list[str] | None = None
    approval: str | None = None
    ready: bool = False

    def as_json(self) -> dict:
        found = {"matcher": self.matcher, "command": self.command, "timeout": self.timeout,
                 "async": self.async_, "interpreter": self.interpreter, "cli": self.cli,
                 "problems": self.problems, "risks": self.risks}
        if self.shells is not None:
            found["shells"] = self.shells
        if self.approval_key is not None:
            found["approval_key"], found["hash"] = self.approval_key, self.hash
            if self.user_steps is not None:
                found["user_steps"] = self.user_steps
            found["approval"] = self.approval
        found["ready"] = self.ready
        return found

    def __getitem__(self, key: str):
        """A field by the name that `status --json` gives it."""
        return self.as_json()[key]


@dataclass
class FileFindings:
    """A file that the host reads hooks from, and the entries of this hook in it."""
    scope: str               # "user" or "project"
    file: str
    exists: bool
    error: str | None = None  # why it cannot be read
    entries: list[Finding] = field(default_factory=list)

    def as_json(self) -> dict:
        return {"scope": self.scope, "file": self.file, "exists": self.exists,
                "error": self.error, "entries": [entry.as_json() for entry in self.entries]}


@dataclass
class HostFindings:
    """Every file of one host that it reads hooks from."""
    host: str                # as the command line spells it
    title: str
    files: list[FileFindings]

    def as_json(self) -> dict:
        return {"host": self.host, "title": self.title,
                "files": [record.as_json() for record in self.files]}
