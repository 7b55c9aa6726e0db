// Process-wide state shared by the module's functions: interned names and texts, and the
// lookup of module globals (the module's namespace, then the builtins) at each use.
#pragma once

#include "ref.hpp"
#include "skill_tables.hpp"

namespace hook {

inline constexpr const char module_name[] = "tovrin.skills.hooks.report_skill_usage";

// Every text the functions compare, look up or pass on, interned once per process.
#define HOOK_TEXTS(X)                                                   \
    X(module, module_name)                                              \
    X(json, "json")                                                     \
    X(sys, "sys")                                                       \
    X(pathlib, "pathlib")                                               \
    X(Path, "Path")                                                     \
    X(time, "time")                                                     \
    X(subprocess, "subprocess")                                         \
    X(MCP_TOOL_TO_SKILL, "_MCP_TOOL_TO_SKILL")                          \
    X(MCP_TOOL_PREFIX, "_MCP_TOOL_PREFIX")                              \
    X(BASH_TOVRIN_TO_SKILL, "_BASH_TOVRIN_TO_SKILL")                    \
    X(resolve_skill_name, "_resolve_skill_name")                        \
    X(resolve_bash_tovrin_command, "_resolve_bash_tovrin_command")      \
    X(DEDUP_SECONDS, "_DEDUP_SECONDS")                                  \
    X(is_duplicate, "_is_duplicate")                                    \
    X(report_usage, "_report_usage")                                    \
    X(main, "main")                                                     \
    X(dunder_test, "__test__")                                          \
    X(dunder_name, "__name__")                                          \
    X(dunder_main, "__main__")                                          \
    X(tool_name, tool_name_member)                                      \
    X(tool_input, tool_input_member)                                    \
    X(command, command_member)                                          \
    X(skill, "skill")                                                   \
    X(Skill, skill_tool)                                                \
    X(Bash, bash_tool)                                                  \
    X(PowerShell, powershell_tool)                                      \
    X(get, "get")                                                       \
    X(startswith, "startswith")                                         \
    X(split, "split")                                                   \
    X(lower, "lower")                                                   \
    X(double_underscore, "__")                                          \
    X(empty, "")                                                        \
    X(stdin_, "stdin")                                                  \
    X(read, "read")                                                     \
    X(loads, "loads")                                                   \
    X(exit, "exit")                                                     \
    X(home, "home")                                                     \
    X(dot_tovrin, ".tovrin")                                            \
    X(hooks, "hooks")                                                   \
    X(dedup_prefix, ".dedup_")                                          \
    X(executable, "executable")                                         \
    X(parent, "parent")                                                 \
    X(exists, "exists")                                                 \
    X(stat, "stat")                                                     \
    X(st_mtime_, "st_mtime")                                            \
    X(mkdir, "mkdir")                                                   \
    X(touch, "touch")                                                   \
    X(tovrin_exe, "tovrin.exe")                                         \
    X(tovrin, cli_name)                                                 \
    X(skills, "skills")                                                 \
    X(report_usage_arg, "report-usage")                                 \
    X(run, "run")                                                       \
    X(capture_output, "capture_output")                                 \
    X(timeout, "timeout")                                               \
    X(add_note, "add_note")                                             \
    X(default_decoder, "_default_decoder")                              \
    X(decode, "decode")                                                 \
    X(raw_decode, "raw_decode")                                         \
    X(scan_once, "scan_once")

struct Texts {
#define HOOK_DECLARE(field, text) PyObject* field;
    HOOK_TEXTS(HOOK_DECLARE)
#undef HOOK_DECLARE
};

// Valid once init_runtime() has succeeded; never released, like the module itself.
extern Texts text;

// Interns the texts and remembers the builtins. Safe to call again after a failed import.
int init_runtime();

// The namespace the functions read their globals from: the process's module object.
void set_module_namespace(PyObject* module_dict);
// That namespace (borrowed), or nullptr while no module object is in place.
PyObject* module_namespace();
// That namespace, or the builtins' before the module exists: the globals of traceback entries.
PyObject* globals_for_traceback();

// `name` as the module's code would read it: its globals, then the builtins;
// NameError "name '...' is not defined" when neither binds it.
Ref load_global(PyObject* name);

// A module imported as by an absolute `import name` in the module's body.
Ref import_module(PyObject* name);

// `mapping.get(key)`, or `mapping.get(key, fallback)` when a fallback is given. An exact dict
// answers directly: nothing can have replaced its get.
Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// `visit(chars)` on the str's code points as stored: one, two or four bytes each. Scans that
// work on the storage directly make no objects on the way.
template <typename Visit>
decltype(auto) with_code_points(PyObject* str, Visit&& visit) {
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            return visit(static_cast<const Py_UCS1*>(data));
        case PyUnicode_2BYTE_KIND:
            return visit(static_cast<const Py_UCS2*>(data));
        default:
            return visit(static_cast<const Py_UCS4*>(data));
    }
}

// The type's own name (`__name__`), as messages show it: its UTF-8 cut at 200 bytes by "%.200s",
// as the interpreter's own messages cut type names.
Ref type_name(PyTypeObject* type);

// TypeError "Expected str, got <type>": a result that is neither str nor None.
void raise_expected_str(PyObject* value);

// Passes a str or None through; anything else is refused with raise_expected_str.
PyObject* str_or_none(Ref value);

}  // namespace hook
