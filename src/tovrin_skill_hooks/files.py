"""Reading and writing a host's JSON settings file: strictly on the way in, atomically on the
way out, and through a symbolic link (dotfile repositories) without replacing the link."""

import contextlib
import json
import os
import stat
import tempfile
import tomllib
from pathlib import Path

from tovrin_skill_hooks.registration import Problem


def _no_repeated_keys(pairs):
    # The hosts keep the last of two equal keys; rewriting the file would drop the first, so
    # such a file is refused rather than silently changed.
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f'the key "{key}" appears twice in one object')
        seen[key] = value
    return seen


def _no_constant(name):
    raise ValueError(f"{name} is not JSON")


def read_json(path: Path) -> dict | None:
    """The settings object of `path`; None when the file does not exist. An empty file counts
    as an empty object. Anything else that is not a JSON object is a Problem naming the file
    (and the line, for a syntax error)."""
    try:
        text = path.read_bytes().decode("utf-8")
    except FileNotFoundError:
        return None
    except UnicodeDecodeError:
        raise Problem(f"{path}: not UTF-8 text") from None
    except OSError as error:
        raise Problem(f"{path}: cannot be read ({error.strerror})") from None
    if not text.strip():
        return {}
    try:
        value = json.loads(text, object_pairs_hook=_no_repeated_keys, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        raise Problem(f"{path}: line {error.lineno}, column {error.colno}: "
                      f"not valid JSON ({error.msg})") from None
    except ValueError as error:
        raise Problem(f"{path}: {error}") from None
    if not isinstance(value, dict):
        raise Problem(f"{path}: the file holds no JSON object")
    return value


def read_toml(path: Path) -> dict | None:
    """The table of a TOML file; None when the file does not exist."""
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise Problem(f"{path}: cannot be read ({error.strerror})") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise Problem(f"{path}: not valid TOML ({error})") from None


def write_json(path: Path, value: dict) -> None:
    """Replaces the file's content with `value`, by a temporary file renamed over the file the
    path leads to (through any symbolic links), so a reader never sees half a file. Missing
    folders are made; the file keeps its permission bits."""
    target = Path(os.path.realpath(path))
    try:
        mode = stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:
        mode = None
    # No write bit at all is the user's own "leave it alone", which even root respects.
    if mode is not None and (not os.access(target, os.W_OK) or not mode & 0o222):
        raise Problem(f"{path}: the file is not writable")
    text = json.dumps(value, indent=2, ensure_ascii=False) + "\n"
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.",
                                                 suffix=".tmp")
    except OSError as error:
        raise Problem(f"{path}: cannot write in {error.filename or target.parent} "
                      f"({error.strerror})") from None
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise Problem(f"{path}: cannot be written ({error.strerror})") from None
