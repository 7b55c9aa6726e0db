"""The hook module as a whole: its globals, its function objects, their argument handling and
the module's life in a process (one module object, one interpreter, one run of the body)."""

import ctypes
import inspect
import json
import pathlib
import pydoc
import subprocess
import sys
import traceback

import pytest

from conftest import MODULE_NAME
from support import BASH_TABLE, MCP_TABLE, Text

MODULE_DOC = """PostToolUse Hook：Skill 调用后实时上报使用次数。

支持三种 Skill 触发方式：

1. Claude Code
   - tool_name 为 "Skill"（内置 Skill 工具）
   - skill 名称从 tool_input.command 获取

2. Codex CLI 通过 MCP 工具调用（配置了 tovrin MCP server 时）
   - tool_name 格式为 "mcp__tovrin__<tool_name>"
   - 通过 MCP tool_name → skill 名称映射表反查

3. Codex CLI 通过 Bash 执行 tovrin CLI 命令（未配置 MCP server 时，主要方式）
   - tool_name 为 "Bash"
   - 从 tool_input.command 中提取 tovrin 子命令，映射到 Skill

从 stdin 读取 Hook 事件 JSON，提取 skill 名称，通过 subprocess 调用
tovrin skills report-usage 上报到服务端。

仅使用 Python 标准库，不依赖 tovrin 包，确保在任何环境下都能执行。
"""

MAIN_DOC = """Hook 入口函数。matcher 设为 .* ，脚本内部过滤只处理 Skill 相关调用。

    去重：同一 skill 在 5 秒内重复触发时只上报一次。
    Claude Code 有时会对同一 Skill 产生两次 PostToolUse 事件，
    通过标记文件实现进程间去重。
    """

RESOLVE_DOC = """从 Hook 事件数据中提取 Skill 名称。

    优先级：
    1. Claude Code：tool_name == "Skill" → tool_input.command
    2. Codex 等 MCP 工具：tool_name 以 "mcp__" 开头 → 映射表反查
    3. Bash 命令：tool_name == "Bash" → 从 command 中提取 tovrin 子命令

    Args:
        data: stdin 读取的 Hook 事件 JSON dict

    Returns:
        Skill 名称字符串，或 None（无法识别时）
    """

BASH_DOC = r"""从 Bash 命令字符串中提取 tovrin 子命令并映射到 Skill。

    支持的命令格式：
    - tovrin auth token status
    - tovrin query metadata --dataset xxx
    - tovrin skills list
    - "D:\path\to\tovrin.exe" auth login
    - python -m tovrin auth ...

    不匹配的命令返回 None（如 git、npm 等非 tovrin 命令）。

    Args:
        command: Bash 工具的 command 字段值

    Returns:
        Skill 名称字符串，或 None
    """

DUPLICATE_DOC = """检查同一 skill 是否在去重窗口内已被触发过。

    使用标记文件（~/.tovrin/hooks/.dedup_<skill_name>）的修改时间判断。
    跨进程安全：多个 hook 进程并发时文件时间戳天然序列化。
    标记文件长期残留无副作用（下次触发时覆盖时间戳即可）。

    Args:
        skill_name: Skill 名称

    Returns:
        True 表示重复触发，应跳过；False 表示首次或窗口外，应上报
    """

REPORT_DOC = """调用 tovrin skills report-usage 上报使用记录。

    Args:
        skill_name: Skill 名称
    """

# name, docstring, annotations in order, local variable names, signature
FUNCTIONS = [
    ("_resolve_skill_name", RESOLVE_DOC, [("data", "dict"), ("return", "str | None")],
     ("data", "tool_name", "tool_input", "mcp_tool"), "(data: 'dict') -> 'str | None'"),
    ("_resolve_bash_tovrin_command", BASH_DOC, [("command", "str"), ("return", "str | None")],
     ("command", "cmd", "parts", "i", "part", "base", "subcmd"), "(command: 'str') -> 'str | None'"),
    ("_is_duplicate", DUPLICATE_DOC, [("skill_name", "str"), ("return", "bool")],
     ("skill_name", "marker_path", "elapsed"), "(skill_name: 'str') -> 'bool'"),
    ("_report_usage", REPORT_DOC, [("skill_name", "str"), ("return", "None")],
     ("skill_name", "tovrin_cmd"), "(skill_name: 'str') -> 'None'"),
    ("main", MAIN_DOC, [("return", "None")], ("raw", "data", "skill_name"), "() -> 'None'"),
]


class Mapping(dict):
    pass


# name, parameter, accepted type, a value of another type, a value of a subclass
ONE_PARAMETER = [
    ("_resolve_skill_name", "data", "dict", [], Mapping()),
    ("_resolve_bash_tovrin_command", "command", "str", 1, Text("tovrin auth")),
    ("_is_duplicate", "skill_name", "str", b"x", Text("x")),
    ("_report_usage", "skill_name", "str", 1, Text("x")),
]


def last_frame(exc):
    return traceback.extract_tb(exc.__traceback__)[-1].name


def test_globals_in_order():
    # in a process of its own: monkeypatching elsewhere re-inserts names at the end
    names = run_python(f"import {MODULE_NAME} as m; print(*vars(m), sep='\\n')")
    assert [k for k in names if not (k.startswith("__") and k.endswith("__")) or k == "__test__"] == [
        "json", "sys", "Path", "_MCP_TOOL_TO_SKILL", "_MCP_TOOL_PREFIX", "_BASH_TOVRIN_TO_SKILL",
        "_resolve_skill_name", "_resolve_bash_tovrin_command", "_DEDUP_SECONDS", "_is_duplicate",
        "_report_usage", "main", "__test__"]
    assert names[-1] == "__test__"


def test_global_values(hook):
    assert hook.json is json and hook.sys is sys and hook.Path is pathlib.Path
    assert type(hook._MCP_TOOL_TO_SKILL) is dict
    assert list(hook._MCP_TOOL_TO_SKILL.items()) == list(MCP_TABLE.items())
    assert type(hook._BASH_TOVRIN_TO_SKILL) is dict
    assert list(hook._BASH_TOVRIN_TO_SKILL.items()) == list(BASH_TABLE.items())
    assert type(hook._MCP_TOOL_PREFIX) is str and hook._MCP_TOOL_PREFIX == "mcp__"
    assert type(hook._DEDUP_SECONDS) is int and hook._DEDUP_SECONDS == 30
    assert type(hook.__test__) is dict and hook.__test__ == {}
    assert "time" not in vars(hook) and "subprocess" not in vars(hook)


def test_module_attributes(hook):
    assert hook.__doc__ == MODULE_DOC
    assert hook.__name__ == MODULE_NAME and hook.__package__ == "tovrin.skills.hooks"
    assert hook.__file__ == hook.__spec__.origin and hook.__loader__ is hook.__spec__.loader
    assert not hasattr(hook, "__path__")


@pytest.mark.parametrize("name, doc, annotations, local_names, signature", FUNCTIONS)
def test_function_objects(hook, name, doc, annotations, local_names, signature):
    fn = getattr(hook, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, MODULE_NAME)
    assert fn.__doc__ == doc
    assert list(fn.__annotations__.items()) == annotations
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    code = fn.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(annotations) - 1, 0, 0)
    if name in ("_is_duplicate", "_report_usage"):
        assert code.co_varnames[0] == local_names[0] and set(local_names) <= set(code.co_varnames)
    else:
        assert code.co_varnames == local_names
    assert str(inspect.signature(fn)) == signature
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert name + signature in text
    assert all(line.strip() in text for line in inspect.cleandoc(doc).splitlines())


CALLS = [  # how the function is called, the message (n: function, p: parameter)
    (lambda f, p, v: f(), "{n}() takes exactly 1 positional argument (0 given)"),
    (lambda f, p, v: f(None, None), "{n}() takes exactly 1 positional argument (2 given)"),
    (lambda f, p, v: f(None, None, **{p: None}), "{n}() takes exactly 1 positional argument (2 given)"),
    (lambda f, p, v: f(bogus=1), "{n}() got an unexpected keyword argument 'bogus'"),
    (lambda f, p, v: f(None, bogus=1), "{n}() got an unexpected keyword argument 'bogus'"),
    (lambda f, p, v: f(**{p: v, "bogus": 1}), "{n}() got an unexpected keyword argument 'bogus'"),
    (lambda f, p, v: f(None, **{p: None}), "{n}() got multiple values for keyword argument '{p}'"),
    (lambda f, p, v: f(None), "Argument '{p}' has incorrect type (expected {t}, got NoneType)"),
    (lambda f, p, v: f(**{p: None}), "Argument '{p}' has incorrect type (expected {t}, got NoneType)"),
]


@pytest.mark.parametrize("call, message", CALLS)
@pytest.mark.parametrize("name, param, accepted, other, subclass", ONE_PARAMETER)
def test_argument_errors(hook, name, param, accepted, other, subclass, call, message):
    good = {"dict": {}, "str": "x"}[accepted]
    with pytest.raises(TypeError) as info:
        call(getattr(hook, name), param, good)
    assert str(info.value) == message.format(n=name, p=param, t=accepted)
    assert last_frame(info.value) == MODULE_NAME + "." + name
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("name, param, accepted, other, subclass", ONE_PARAMETER)
def test_argument_type_is_exact(hook, name, param, accepted, other, subclass):
    fn = getattr(hook, name)
    for value, notes in ((other, 0), (subclass, 1)):
        with pytest.raises(TypeError) as info:
            fn(value)
        got = type(value).__name__
        assert str(info.value) == f"Argument '{param}' has incorrect type (expected {accepted}, got {got})"
        assert len(getattr(info.value, "__notes__", [])) == notes
        assert all(type(note) is str and note for note in getattr(info.value, "__notes__", []))
        assert last_frame(info.value) == MODULE_NAME + "." + name


@pytest.mark.parametrize("call, message", [
    (lambda main: main(1), "main() takes no arguments (1 given)"),
    (lambda main: main(1, 2), "main() takes no arguments (2 given)"),
    (lambda main: main(x=1), "main() takes no keyword arguments"),
    (lambda main: main(1, x=1), "main() takes no keyword arguments"),
])
def test_main_takes_no_arguments(hook, call, message):
    with pytest.raises(TypeError) as info:
        call(hook.main)
    assert str(info.value) == message
    assert last_frame(info.value) == MODULE_NAME + ".main"


def call_from_c(route, function, args, kwargs):
    """The call function(*args, **kwargs) as C code makes it: a tuple and a dict through the
    type's own call slot (here by way of the __call__ wrapper, since PyObject_Call on the
    function itself takes the vectorcall), or a vector and a tuple of names by vectorcall."""
    if route == "tp_call":
        call = ctypes.pythonapi.PyObject_Call
        call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
        return call(function.__call__, args, kwargs)
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (*args, *kwargs.values())
    return call(function, (ctypes.py_object * len(values))(*values), len(args), tuple(kwargs))


# Keywords only C code can pass: both call protocols test them in the same order, with the
# same messages, as the calls from Python above.
@pytest.mark.parametrize("route", ["tp_call", "vectorcall"])
@pytest.mark.parametrize("name, args, kwargs, expected", [
    ("_resolve_bash_tovrin_command", (), {"command": "tovrin auth"}, "tov-auth"),
    *[("_resolve_bash_tovrin_command", args, kwargs, TypeError(message)) for args, kwargs, message in [
        ((), {1: 2}, "{n}() keywords must be strings"),
        (("x",), {1: 2}, "{n}() keywords must be strings"),
        ((), {"command": "x", 1: 2}, "{n}() keywords must be strings"),
        ((), {"bogus": 1, 1: 2}, "{n}() got an unexpected keyword argument 'bogus'"),
        (("x", "y"), {1: 2}, "{n}() takes exactly 1 positional argument (2 given)"),
        ((), {"command": 3}, "Argument 'command' has incorrect type (expected str, got int)"),
    ]],
    ("_is_duplicate", (), {None: "x"}, TypeError("{n}() keywords must be strings")),
    ("main", (), {1: 2}, TypeError("main() takes no keyword arguments")),
    ("main", (1,), {1: 2}, TypeError("main() takes no keyword arguments")),
    ("main", (1,), {}, TypeError("main() takes no arguments (1 given)")),
])
def test_calls_from_c(hook, route, name, args, kwargs, expected):
    function = getattr(hook, name)
    if not isinstance(expected, TypeError):
        assert call_from_c(route, function, args, kwargs) == expected
        return
    with pytest.raises(TypeError) as info:
        call_from_c(route, function, args, kwargs)
    assert str(info.value) == str(expected).format(n=name)
    assert last_frame(info.value) == MODULE_NAME + "." + name


@pytest.mark.parametrize("name, param, value, expected", [
    ("_resolve_skill_name", "data", {"tool_name": "mcp__tovrin__query_run"}, "tov-dataset-query"),
    ("_resolve_bash_tovrin_command", "command", "tovrin auth login", "tov-auth"),
    ("_is_duplicate", "skill_name", "tov-auth", False),
    ("_report_usage", "skill_name", "tov-auth", None),
])
def test_parameter_by_keyword(hook, home, cli, monkeypatch, name, param, value, expected):
    monkeypatch.setattr(sys, "executable", cli.interpreter)
    keyword = "".join(list(param))  # equal to the parameter's name, but another object
    result = getattr(hook, name)(**{keyword: value})
    assert result == expected and type(result) is type(expected)
    if name == "_report_usage":
        assert cli.calls() == [[str(cli.path), "skills", "report-usage", "tov-auth"]]


def run_python(code, *options):
    result = subprocess.run([sys.executable, *options, "-c", code],
                            capture_output=True, text=True, timeout=120)
    assert result.stderr == "" and result.returncode == 0
    return result.stdout.splitlines()


@pytest.mark.parametrize("code, printed", [  # now, and again while the interpreter exits
    (f"""import atexit, contextlib, importlib, io, sys
def again():
    module, sys.stdin = importlib.import_module({MODULE_NAME!r}), io.StringIO("")
    print(module is first, module._DEDUP_SECONDS, module._resolve_skill_name({{"tool_name": "mcp__x__query_run"}}))
    with contextlib.suppress(SystemExit):  # sys.exit(0), where a lost global would raise NameError
        module.main()
atexit.register(again), sys.modules.update(atexit=None)  # the module needs no atexit
first = importlib.import_module({MODULE_NAME!r})
first._DEDUP_SECONDS = 5
del sys.modules[{MODULE_NAME!r}]
again()""", ["True 5 tov-dataset-query"] * 2),
    (f"import atexit, {MODULE_NAME}; atexit._clear()", []),
])
def test_second_import_returns_the_same_module(code, printed):
    assert run_python(code) == printed


def test_import_in_a_second_interpreter_fails():
    assert run_python(f"""
import _interpreters, importlib
module = importlib.import_module({MODULE_NAME!r})
other = _interpreters.create("legacy")
error = _interpreters.exec(other, "import {MODULE_NAME}")
_interpreters.destroy(other)
print(error.type.__name__ + ": " + error.msg)
print(module._resolve_bash_tovrin_command("tovrin auth"))
""") == ["ImportError: Interpreter change detected - this module can only be loaded into one "
         "interpreter per process.", "tov-auth"]


def test_executing_the_definition_again():
    assert run_python(f"""
import ctypes, importlib, types
module = importlib.import_module({MODULE_NAME!r})
init = ctypes.PyDLL(module.__file__).PyInit_report_skill_usage
init.restype = ctypes.py_object
definition = init()
words = ctypes.cast(id(definition), ctypes.POINTER(ctypes.POINTER(ctypes.c_int)))  # 5 of its head first
print(words[8][:2], words[9][:12:4])  # an empty method table, and two slots: create and exec
exec_def = ctypes.pythonapi.PyModule_ExecDef
exec_def.argtypes = [ctypes.py_object, ctypes.py_object]
exec_def.restype = ctypes.c_int
module._DEDUP_SECONDS = 7
print(exec_def(module, definition), module._DEDUP_SECONDS)
other = types.ModuleType("x")
try:
    exec_def(other, definition)
except RuntimeError as exc:
    print(exc)
print([k for k in vars(other) if not k.startswith("__")], importlib.import_module({MODULE_NAME!r}) is module)
""") == ["[0, 0] [1, 2, 0]", "0 7", "Module 'report_skill_usage' has already been imported. Re-initialisation is not "
         "supported.", "[] True"]


@pytest.mark.parametrize("setup, message", [
    ("sys.modules['json'] = None", "import of json halted; None in sys.modules"),
    ("sys.modules['pathlib'] = types.ModuleType('pathlib')", "cannot import name Path"),
])
def test_failed_body_is_forgotten(setup, message):
    assert run_python(f"""
import importlib, json, pathlib, sys, traceback, types
import tovrin.skills.hooks
saved = dict(sys.modules)
{setup}
try:
    importlib.import_module({MODULE_NAME!r})
except ImportError as exc:
    print(exc)
    print([e.name for e in traceback.extract_tb(exc.__traceback__)][-1])
sys.modules.update(saved)
module = importlib.import_module({MODULE_NAME!r})
print(module.json is json, module.Path is pathlib.Path, module.__test__)
""") == [message, "init " + MODULE_NAME, "True True {}"]


def test_no_warning_on_this_runtime():
    assert run_python(f"import sys, {MODULE_NAME}; print(sys.version_info[:2])",
                      "-W", "error::RuntimeWarning") == ["(3, 13)"]
