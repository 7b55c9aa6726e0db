// Resolution: which skill of the product, if any, one tool call used.
#include <initializer_list>

#include "docstrings.hpp"
#include "function.hpp"
#include "runtime.hpp"
#include "skill_dicts.hpp"
#include "skill_tables.hpp"

namespace hook {

namespace {

template <std::size_t N>
Ref make_table(const TableEntry (&entries)[N]) {
    Ref table = Ref::steal(PyDict_New());
    for (std::size_t i = 0; table && i < N; ++i) {
        // Interned values: entries that name the same skill share one string.
        Ref key = Ref::steal(PyUnicode_InternFromString(entries[i].key));
        Ref skill = key ? Ref::steal(PyUnicode_InternFromString(entries[i].skill)) : Ref();
        if (!skill || PyDict_SetItem(table.get(), key.get(), skill.get()) < 0) {
            return {};
        }
    }
    return table;
}

// `value == literal` by the interpreter's equality.
int equals(PyObject* value, PyObject* literal) {
    if (PyUnicode_CheckExact(value)) {
        const int order = PyUnicode_Compare(value, literal);
        return order == -1 && PyErr_Occurred() ? -1 : order == 0;
    }
    return PyObject_RichCompareBool(value, literal, Py_EQ);
}

// `data.get("tool_input") or {}`.
Ref tool_input_of(PyObject* data) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(data, text.tool_input, &value) < 0) {
        return {};
    }
    Ref tool_input = Ref::steal(value);
    if (tool_input) {
        const int truth = PyObject_IsTrue(tool_input.get());
        if (truth < 0) {
            return {};
        }
        if (truth) {
            return tool_input;
        }
    }
    return Ref::steal(PyDict_New());
}

// The Skill tool names its skill in `tool_input[key]`: a false value names none, a true one
// must be a str and is the skill name unchanged.
PyObject* skill_named_by(PyObject* tool_input, PyObject* key) {
    Ref value = get_item(tool_input, key);
    if (!value) {
        return nullptr;
    }
    const int truth = PyObject_IsTrue(value.get());
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (!PyUnicode_CheckExact(value.get())) {
        raise_expected_str(value.get());
        return nullptr;
    }
    return value.release();
}

// Hosts send the Skill tool's input as {"command": name} (older) or {"skill": name} (current).
PyObject* resolve_skill_call(PyObject* data) {
    Ref tool_input = tool_input_of(data);
    if (!tool_input) {
        return nullptr;
    }
    PyObject* named = skill_named_by(tool_input.get(), text.command);
    if (named != Py_None) {
        return named;
    }
    Py_DECREF(named);
    return skill_named_by(tool_input.get(), text.skill);
}

// `tool_name.startswith(_MCP_TOOL_PREFIX)`, the method looked up before the prefix.
int has_mcp_prefix(PyObject* tool_name) {
    Ref startswith;
    if (!PyUnicode_CheckExact(tool_name)) {
        startswith = Ref::steal(PyObject_GetAttr(tool_name, text.startswith));
        if (!startswith) {
            return -1;
        }
    }
    Ref prefix = load_global(text.MCP_TOOL_PREFIX);
    if (!prefix) {
        return -1;
    }
    if (!startswith && PyUnicode_CheckExact(prefix.get())) {
        return static_cast<int>(PyUnicode_Tailmatch(tool_name, prefix.get(), 0, PY_SSIZE_T_MAX, -1));
    }
    if (!startswith && !(startswith = Ref::steal(PyObject_GetAttr(tool_name, text.startswith)))) {
        return -1;
    }
    Ref matched = Ref::steal(PyObject_CallOneArg(startswith.get(), prefix.get()));
    return matched ? PyObject_IsTrue(matched.get()) : -1;
}

// `tool_name.split("__")[-1]`: the bare tool name, whatever server served it.
Ref last_name_piece(PyObject* tool_name) {
    if (PyUnicode_CheckExact(tool_name)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(tool_name);
        const Py_ssize_t start = with_code_points(
            tool_name, [length]<typename Char>(const Char* chars) { return mcp_tool_start(chars, length); });
        return Ref::steal(PyUnicode_Substring(tool_name, start, length));
    }
    Ref pieces = Ref::steal(PyObject_CallMethodOneArg(tool_name, text.split, text.double_underscore));
    Ref last_index = pieces ? Ref::steal(PyLong_FromLong(-1)) : Ref();
    if (!last_index) {
        return {};
    }
    return Ref::steal(PyObject_GetItem(pieces.get(), last_index.get()));
}

PyObject* resolve_mcp_call(PyObject* tool_name) {
    Ref mcp_tool = last_name_piece(tool_name);
    Ref table = mcp_tool ? load_global(text.MCP_TOOL_TO_SKILL) : Ref();
    return table ? str_or_none(get_item(table.get(), mcp_tool.get())) : nullptr;
}

PyObject* resolve_bash_call(PyObject* data) {
    Ref tool_input = tool_input_of(data);
    Ref resolver = tool_input ? load_global(text.resolve_bash_tovrin_command) : Ref();
    Ref command = resolver ? get_item(tool_input.get(), text.command, text.empty) : Ref();
    return command ? str_or_none(Ref::steal(call_one(resolver.get(), resolve_bash_tovrin_command_spec,
                                                      command.get())))
                   : nullptr;
}

PyObject* resolve_skill_name(PyObject* data) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(data, text.tool_name, &value) < 0) {
        return nullptr;
    }
    Ref tool_name = value ? Ref::steal(value) : Ref::borrow(text.empty);
    int matched = equals(tool_name.get(), text.Skill);
    if (matched != 0) {
        return matched < 0 ? nullptr : resolve_skill_call(data);
    }
    matched = has_mcp_prefix(tool_name.get());
    if (matched != 0) {
        return matched < 0 ? nullptr : resolve_mcp_call(tool_name.get());
    }
    // Claude Code on Windows runs its commands through the PowerShell tool, with the same
    // input as Bash: the same CLI lines arrive under the other name.
    for (PyObject* shell_tool : {text.Bash, text.PowerShell}) {
        matched = equals(tool_name.get(), shell_tool);
        if (matched != 0) {
            return matched < 0 ? nullptr : resolve_bash_call(data);
        }
    }
    Py_RETURN_NONE;
}

const char* const resolve_skill_name_varnames[] = {"data", "tool_name", "tool_input", "mcp_tool", nullptr};

}  // namespace

const FunctionSpec resolve_skill_name_spec = {
    .name = "_resolve_skill_name",
    .doc = docstring::resolve_skill_name,
    .parameter = "data",
    .accepts = &PyDict_Type,
    .return_annotation = "str | None",
    .varnames = resolve_skill_name_varnames,
    .source_file = "report_skill_usage/resolve.cpp",
    .source_line = __LINE__,
    .body = resolve_skill_name,
};

Ref make_mcp_tool_table() { return make_table(mcp_tools); }
Ref make_bash_subcommand_table() { return make_table(bash_subcommands); }

}  // namespace hook
