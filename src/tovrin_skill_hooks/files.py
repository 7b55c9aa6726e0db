"""Reading and writing a host's JSON settings file: strictly on the way in; on the way out as an
edit of the file's own text, replaced in one step, through a symbolic link (dotfile
repositories) without replacing the link, with its owner, group and mode, and merged again when
another program (the host itself) changed it meanwhile."""

import contextlib
import errno
import os
import stat
import sys
import tempfile
import tomllib
from pathlib import Path

from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.json_text import DEEP, Document, checked, reads_back, too_deep

# Reads and edits of a file that another program keeps changing, before giving up.
ATTEMPTS = 5
# No host writes a settings file this large: such a file is refused rather than read until
# memory runs out.
MAX_BYTES = 16 * 1024 * 1024
_LARGE = "{path}: larger than " + str(MAX_BYTES >> 20) + " MiB, more than any host writes; " \
    "left alone"
_KINDS = {stat.S_IFDIR: "a folder", stat.S_IFIFO: "a FIFO", stat.S_IFSOCK: "a socket",
          stat.S_IFCHR: "a character device", stat.S_IFBLK: "a block device"}


@contextlib.contextmanager
def whole_numbers():
    """Integers of any length read and written, as JSON allows; the interpreter's own limit on
    their digits is put back after."""
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        yield
    finally:
        sys.set_int_max_str_digits(before)


def _regular(path: Path, status: os.stat_result) -> None:
    if not stat.S_ISREG(status.st_mode):
        kind = _KINDS.get(stat.S_IFMT(status.st_mode), "not a regular file")
        raise Problem(f"{path}: {kind}, where a regular file or none is expected; left alone")
    if status.st_size > MAX_BYTES:
        raise Problem(_LARGE.format(path=path))


def open_regular(path: Path, target: Path, writing: bool = False):
    """(descriptor, status) of the regular file at `target`, or (None, None) when there is
    none. Anything else (a FIFO, which would hang the command, a device, a folder) is refused
    before it is opened, and again after: it may have been put there in between. Opened
    without blocking, so that a FIFO slipped in meanwhile does not wait for a writer."""
    try:
        _regular(path, os.stat(target))
        descriptor = os.open(target, (os.O_RDWR if writing else os.O_RDONLY)
                             | getattr(os, "O_NONBLOCK", 0)
                             | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
                             | getattr(os, "O_BINARY", 0))
    except FileNotFoundError:
        return None, None
    except OSError as error:
        raise Problem(f"{path}: cannot be {'written' if writing else 'read'} "
                      f"({error.strerror})") from None
    try:
        status = os.fstat(descriptor)
        _regular(path, status)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor, status


def read_regular(path: Path, target: Path,
                 limit: int = MAX_BYTES) -> tuple[bytes | None, os.stat_result | None]:
    """The first `limit` bytes of a regular file (the whole of a settings file, which may not
    exceed MAX_BYTES), and its status; (None, None) when there is no file."""
    descriptor, status = open_regular(path, target)
    if descriptor is None:
        return None, None
    try:
        with open(descriptor, "rb") as file:
            data = file.read(limit + 1)
    except OSError as error:
        raise Problem(f"{path}: cannot be read ({error.strerror})") from None
    if len(data) > MAX_BYTES:  # grown since it was looked at
        raise Problem(_LARGE.format(path=path))
    return data[:limit], status


@whole_numbers()
def read_json(path: Path) -> dict | None:
    """The settings object of `path`; None when the file does not exist. An empty file counts
    as an empty object. Anything else that is not a JSON object is a Problem naming the file
    (and the line, for a syntax error)."""
    data, _ = read_regular(path, path)
    if data is None:
        return None
    return checked(path, data)[1] or {}


@whole_numbers()
def read_toml(path: Path) -> dict | None:
    """The table of a TOML file; None when the file does not exist."""
    data, _ = read_regular(path, path)
    if data is None:
        return None
    try:
        table = tomllib.loads(data.decode("utf-8"))
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise Problem(f"{path}: not valid TOML ({error})") from None
    except RecursionError:
        raise Problem(DEEP.format(path=path)) from None
    if too_deep(table):
        raise Problem(DEEP.format(path=path))
    return table


# --- Replacing the file ------------------------------------------------------------------------

@whole_numbers()
def update_json(path: Path, edit):
    """Edits the settings object of `path`: `edit(settings)` changes it in place (an empty
    object when there is no file) and returns what the caller wants back. Returns that, and
    whether the file was written, which it is only when the edit changed something.

    Everything the edit did not change keeps its text. The new text replaces the file in one
    step, by a temporary file renamed over the file the path leads to (through any symbolic
    links), with the file's owner, group and mode. A file with several hard links, or one
    whose owner or group this process may not give a new file, is written over in place.
    When another program changed the file since it was read, it is read and edited again;
    after ATTEMPTS such changes, the file is left as that program wrote it."""
    for _ in range(ATTEMPTS):
        target = Path(os.path.realpath(path))
        data, status = read_regular(path, target)
        document = Document(path, data)
        result = edit(document.value)
        if not document.changed():
            return result, False
        try:
            new = document.written().encode("utf-8")
        except ValueError as error:
            raise Problem(f"{path}: cannot be written as JSON ({error})") from None
        reads_back(path, new, document.value)
        if _write(path, target, data, status, new):
            return result, True
    raise Problem(f"{path}: another program changed the file each time it was about to be "
                  f"written ({ATTEMPTS} times); it is left as that program wrote it")


def _unchanged(target: Path, data: bytes | None, status: os.stat_result | None) -> bool:
    """Whether the file is still the one that was read: the same file, with the same bytes."""
    try:
        now, _ = read_regular(target, target)
        # Last, right before the replacement: a file renamed over it since has another inode.
        current = os.stat(target)
    except FileNotFoundError:
        return data is None
    except (OSError, Problem):
        return False
    return data == now and (current.st_dev, current.st_ino) == (status.st_dev, status.st_ino)


def _root() -> bool:
    return hasattr(os, "geteuid") and os.geteuid() == 0


def _make_folders(path: Path, folder: Path) -> None:
    """Makes the missing folders; as root, they belong to the owner of the folder they are in,
    as does the new file, so that a user's project does not get files its user cannot change."""
    missing = []
    while not folder.is_dir() and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    try:
        owner = folder.stat()
        for made in reversed(missing):
            made.mkdir(exist_ok=True)
            if _root():
                os.chown(made, owner.st_uid, owner.st_gid)
    except OSError as error:
        raise Problem(f"{path}: cannot write in {error.filename or folder} "
                      f"({error.strerror})") from None


def _take_over(descriptor: int, status: os.stat_result | None, folder: Path) -> bool:
    """Gives the new file the owner, group and mode of the file it replaces; False when this
    process may not. A file that did not exist gets the mode the umask leaves."""
    if status is None:
        umask = os.umask(0)
        os.umask(umask)
        owner, mode = folder.stat() if _root() else os.fstat(descriptor), 0o666 & ~umask
    else:
        owner, mode = status, stat.S_IMODE(status.st_mode)
    mine = os.fstat(descriptor)
    if (mine.st_uid, mine.st_gid) != (owner.st_uid, owner.st_gid):
        try:
            os.fchown(descriptor, owner.st_uid, owner.st_gid)
        except PermissionError:
            return False
    # After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
    os.fchmod(descriptor, mode)
    return True


def _write(path: Path, target: Path, data: bytes | None, status: os.stat_result | None,
           new: bytes) -> bool:
    """Replaces the file with `new` unless it changed since it was read; False when it did."""
    # No write bit at all is the user's own "leave it alone", which even root respects.
    if status is not None and (not os.access(target, os.W_OK) or not status.st_mode & 0o222):
        raise Problem(f"{path}: the file is not writable")
    if status is not None and status.st_nlink > 1:
        return _write_in_place(path, target, data, status, new)
    _make_folders(path, target.parent)
    try:
        descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.",
                                                 suffix=".tmp")
    except PermissionError:
        if status is None:
            raise Problem(f"{path}: cannot write in {target.parent} (permission denied)") from None
        return _write_in_place(path, target, data, status, new)
    except OSError as error:
        raise Problem(f"{path}: cannot write in {target.parent} ({error.strerror})") from None
    placed = False
    try:
        with open(descriptor, "wb") as file:
            file.write(new)
            file.flush()
            os.fsync(descriptor)
            if not _take_over(descriptor, status, target.parent):
                return _write_in_place(path, target, data, status, new)
        if not _unchanged(target, data, status):
            return False
        if status is None:
            # Made only if still absent: a file another program made meanwhile stays.
            with contextlib.suppress(OSError):
                os.link(temporary, target)
                return True
            if os.path.lexists(target):
                return False
        os.replace(temporary, target)
        placed = True
        return True
    except OSError as error:
        raise Problem(f"{path}: cannot be written ({error.strerror}); "
                      "it is left as it was") from None
    finally:
        if not placed:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def _write_in_place(path: Path, target: Path, data: bytes | None, status: os.stat_result,
                    new: bytes) -> bool:
    """Writes over the file itself, which keeps its links, owner and group, but not in one
    step: a reader may meet it half written. It is left holding its new text or its old one,
    whole: the room the new text needs is taken first, past the old text's end, which is the
    write a full disk refuses, and the old text is put back after any failure."""
    descriptor, now = open_regular(path, target, writing=True)
    if descriptor is None:
        return False
    old = data or b""
    try:
        if now.st_ino != status.st_ino or not _unchanged(target, data, status):
            return False
        try:
            _put(descriptor, new[len(old):], len(old))
            os.fsync(descriptor)
            _put(descriptor, new[:len(old)], 0)
            os.ftruncate(descriptor, len(new))
            os.fsync(descriptor)
            if _contents(descriptor, len(new)) != new:
                raise OSError(errno.EIO, "the text read back is not the text written")
        except OSError as error:
            try:
                _put(descriptor, old, 0)
                os.ftruncate(descriptor, len(old))
                os.fsync(descriptor)
                restored = _contents(descriptor, len(old)) == old
            except OSError:
                restored = False
            held = "it holds its old text, unchanged" if restored else "nor could its old " \
                "text be put back: it holds neither the old text nor the new whole"
            raise Problem(f"{path}: cannot be written ({error.strerror}); {held}") from None
    finally:
        os.close(descriptor)
    return True


def _put(descriptor: int, data: bytes, offset: int) -> None:
    os.lseek(descriptor, offset, os.SEEK_SET)
    view = memoryview(data)
    while view:
        done = os.write(descriptor, view)
        if not done:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        view = view[done:]


def _contents(descriptor: int, size: int) -> bytes:
    """What the file holds, up to one byte past `size`."""
    os.lseek(descriptor, 0, os.SEEK_SET)
    pieces, left = [], size + 1
    while left > 0 and (piece := os.read(descriptor, left)):
        pieces.append(piece)
        left -= len(piece)
    return b"".join(pieces)
