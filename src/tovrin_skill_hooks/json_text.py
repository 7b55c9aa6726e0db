"""A settings file's JSON text: read strictly, and edited in place. The document keeps, for every
value, where its text starts and ends and the white space around its items, so that an edit
rewrites only the values it changed and writes what it added in the file's own style."""

import json
import re
from json.decoder import scanstring
from pathlib import Path

from tovrin_skill_hooks.errors import Problem

# No host writes a settings file nested this deep: such a file is refused rather than read
# until the interpreter's stack runs out.
MAX_DEPTH = 200
DEEP = "{path}: nested more than " + str(MAX_DEPTH) + " levels deep, deeper than any host writes"


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


def too_deep(value) -> bool:
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, (dict, list)):
            if depth > MAX_DEPTH:
                return True
            stack.extend((child, depth + 1) for child in
                         (item.values() if isinstance(item, dict) else item))
    return False


def checked(path: Path, data: bytes):
    """The text of a settings file and its value (None for a file of white space), or a Problem
    naming the file (and the line, for a syntax error)."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise Problem(f"{path}: not UTF-8 text") from None
    if not text.strip():
        return text, None
    try:
        value = json.loads(text, object_pairs_hook=_no_repeated_keys, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        raise Problem(f"{path}: line {error.lineno}, column {error.colno}: "
                      f"not valid JSON ({error.msg})") from None
    except ValueError as error:
        raise Problem(f"{path}: {error}") from None
    except RecursionError:
        raise Problem(DEEP.format(path=path)) from None
    if not isinstance(value, dict):
        raise Problem(f"{path}: the file holds no JSON object")
    if too_deep(value):
        raise Problem(DEEP.format(path=path))
    return text, value


# --- The file's text, kept where the edit does not reach -------------------------------------

class _Number(float):
    """A number written with a fraction or an exponent: a float that keeps the text it was
    written as, which a float alone may not give back (`1e999`, `0.10000000000000000000001`)."""

    def __new__(cls, text: str):
        number = super().__new__(cls, text)
        number.text = text
        return number


def _freeze(value):
    """What a value holds, comparable: true is not 1, 30.0 is not 30, and key order counts."""
    if isinstance(value, dict):
        return "{", tuple((key, _freeze(item)) for key, item in value.items())
    if isinstance(value, list):
        return "[", tuple(_freeze(item) for item in value)
    return type(value).__name__, getattr(value, "text", value)


class _Node:
    """One value in the file's text: where it is, the object handed to the edit, what it held
    as read, and for an object or an array its items as (where the item starts, key, node)."""

    def __init__(self, start, end, value, frozen, items=None):
        self.start, self.end, self.value, self.frozen, self.items = start, end, value, frozen, items


_SPACE = re.compile(r"[ \t\n\r]*")
_NUMBER = re.compile(r"(-?(?:0|[1-9][0-9]*))(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_LITERALS = {"true": True, "false": False, "null": None}


def _json(value) -> str:
    # What is not JSON, such as an infinite float, is refused. So is a lone surrogate (a file
    # name that is not UTF-8), which fails to encode: its escape would name another file.
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


class Document:
    """A settings file as read: its value, to be edited in place, and its text. The edited value
    is written back by reusing the text of every value the edit left as it was, and the file's
    own separators around them; only what the edit added is written anew, in the file's style."""

    def __init__(self, path: Path, data: bytes | None):
        self.text, value = checked(path, data or b"")
        self.colon = None
        try:
            self.root = self._parse(_SPACE.match(self.text).end()) if value is not None else None
        except RecursionError:
            raise Problem(f"{path}: nested too deeply") from None
        self.value = self.root.value if self.root else {}
        breaks = self.text.count("\n")
        self.newline = "\r\n" if breaks and self.text.count("\r\n") == breaks else "\n"
        indents = set(re.findall(r"\n([ \t]*)[^ \t\r\n]", self.text))
        if self.root and self.root.items and not indents:
            self.unit = None  # all on one line: what is added stays on it
        elif indents and all(set(i) <= {"\t"} for i in indents):
            self.unit = "\t" if any(indents) else ""
        elif indents and all(set(i) <= {" "} for i in indents):
            self.unit = " " * min((len(i) for i in indents if i), default=0)
        else:
            self.unit = "  "
        self.colon = self.colon if self.colon and "\n" not in self.colon else ": "

    def changed(self) -> bool:
        return self.root is None and self.value != {} or \
            self.root is not None and _freeze(self.value) != self.root.frozen

    def _parse(self, at: int) -> _Node:
        text = self.text
        opening = text[at]
        if opening in "{[":
            items, start, at = [], at, _SPACE.match(text, at + 1).end()
            while text[at] not in "}]":
                begin, key = at, None
                if opening == "{":
                    key, at = scanstring(text, at + 1)
                    colon_end = _SPACE.match(text, _SPACE.match(text, at).end() + 1).end()
                    self.colon = self.colon or text[at:colon_end]
                    at = colon_end
                node = self._parse(at)
                items.append((begin, key, node))
                at = _SPACE.match(text, node.end).end()
                if text[at] == ",":
                    at = _SPACE.match(text, at + 1).end()
            if opening == "{":
                value = {key: node.value for _, key, node in items}
                frozen = "{", tuple((key, node.frozen) for _, key, node in items)
            else:
                value = [node.value for *_, node in items]
                frozen = "[", tuple(node.frozen for *_, node in items)
            return _Node(start, at + 1, value, frozen, items)
        if opening == '"':
            value, end = scanstring(text, at + 1)
        elif number := _NUMBER.match(text, at):
            integer, fraction, exponent = number.groups()
            value = _Number(number.group()) if fraction or exponent else int(integer)
            end = number.end()
        else:
            word = next(word for word in _LITERALS if text.startswith(word, at))
            value, end = _LITERALS[word], at + len(word)
        return _Node(at, end, value, _freeze(value))

    def written(self) -> str:
        """The file's new text."""
        if self.root is None:
            return self._new(self.value, "") + self.newline
        text, root = self.text, self.root
        return text[:root.start] + self._edited(self.value, root) + text[root.end:]

    def _indent_at(self, at: int) -> str:
        line = self.text.rfind("\n", 0, at) + 1
        return re.match(r"[ \t]*", self.text[line:]).group()

    def _edited(self, value, node: _Node) -> str:
        text = self.text
        if _freeze(value) == node.frozen:
            return text[node.start:node.end]
        kind = {"{": dict, "[": list}.get(text[node.start])
        items = node.items
        if kind is None or not isinstance(value, kind) or not items or not value:
            return self._new(value, self._indent_at(node.start))
        if isinstance(value, dict):
            places = {key: number for number, (_, key, _) in enumerate(items)}
            pairs = [(key, item, places.get(key)) for key, item in value.items()]
        else:
            pairs, used = [], set()
            # An element moved by the edit is found by identity, or else by what it holds.
            same = {id(child.value): n for n, (*_, child) in enumerate(items)
                    if child.items is not None}
            for item in value:
                number = same.get(id(item)) if isinstance(item, (dict, list)) else None
                if number is None or number in used:
                    frozen = _freeze(item)
                    number = next((n for n, (*_, child) in enumerate(items)
                                   if n not in used and child.frozen == frozen), None)
                used.add(number)
                pairs.append((None, item, number))
        # The file's own white space: after the opening bracket, between two items, and from
        # the last item to the closing bracket.
        opening, closing = text[node.start + 1:items[0][0]], text[items[-1][2].end:node.end]
        between = text[items[0][2].end:items[1][0]] if len(items) > 1 else "," + opening
        pieces = []
        for place, (key, item, number) in enumerate(pairs):
            if number is None:
                separator = between if place else opening
                # The white space that starts the separator's last line: in a file that puts
                # its commas first, that line begins with the comma, which is no indentation.
                indent = re.match(r"[ \t]*", separator.rpartition("\n")[2]).group() \
                    if "\n" in separator else self._indent_at(node.start)
                head = "" if key is None else _json(key) + self.colon
                pieces.append(separator + head + self._new(item, indent))
            else:
                begin, _, child = items[number]
                separator = opening if not place else \
                    text[items[number - 1][2].end:begin] if number else between
                pieces.append(separator + text[begin:child.start] + self._edited(item, child))
        return text[node.start] + "".join(pieces) + closing

    def _new(self, value, indent: str) -> str:
        """A value the edit added, in the file's style, its first line at `indent`."""
        if isinstance(value, (dict, list)):
            if not value:
                return "{}" if isinstance(value, dict) else "[]"
            inner = indent + (self.unit or "")
            if self.unit is None:
                opening, between, closing = "", ", " if " " in self.colon else ",", ""
            else:
                opening, closing = self.newline + inner, self.newline + indent
                between = "," + opening
            if isinstance(value, dict):
                pieces = [_json(key) + self.colon + self._new(item, inner)
                          for key, item in value.items()]
                return "{" + opening + between.join(pieces) + closing + "}"
            return "[" + opening + between.join(self._new(item, inner) for item in value) \
                + closing + "]"
        return value.text if isinstance(value, _Number) else _json(value)


def reads_back(path: Path, new: bytes, value) -> None:
    """The new text must read back as the edited settings; otherwise nothing is written."""
    try:
        again = Document(path, new).root
    except Problem:
        again = None
    if again is None or again.frozen != _freeze(value):
        raise Problem(f"{path}: the edit would not leave valid JSON holding the change; "
                      "the file is left as it was")
