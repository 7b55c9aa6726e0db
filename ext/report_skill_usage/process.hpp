// What the module keeps for the whole process, all in one place: the one module object and
// the interpreter it belongs to, the interned texts, the builtins, the function type, and what
// the quick look at an event trusts.
//
// The references are plain pointers, held for the life of the process and never let go, not
// even at exit: an import or a call made while the interpreter exits (from an atexit handler,
// say) must still find them whole, and no destructor may run after the interpreter has ended.
// The interpreter clears the module's namespace in its own order at shutdown. Only a failed
// import lets go of what it made, by forget_module().
#pragma once

#include <cstdint>

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
#define HOOK_DECLARE(field, text) PyObject* field = nullptr;
    HOOK_TEXTS(HOOK_DECLARE)
#undef HOOK_DECLARE
};

// What the module body bound, while nothing has rebound it: the quick look at an event
// (event_json.cpp) stands in for json.loads only for these. All null while the quick look is off.
struct EventOriginals {
    PyObject* json = nullptr;
    PyObject* loads = nullptr;
    PyObject* default_decoder = nullptr;
    PyObject* resolver = nullptr;
    // What json.loads(raw) calls through the default decoder: the functions behind its decode
    // and raw_decode, and its scanner. A patched class or decoder must see the whole text.
    PyObject* decode = nullptr;
    PyObject* raw_decode = nullptr;
    PyObject* scan_once = nullptr;
};

struct ProcessState {
    // The interpreter of the first import; the module loads into no other. -1 before it.
    std::int64_t owning_interpreter = -1;
    // The one module object, from the start of its body on, and its namespace (borrowed from it).
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;
    // Made once and kept through failed imports: the texts, the builtins' namespace (set last,
    // so that it says the texts are ready), the function type.
    Texts texts;
    PyObject* builtins = nullptr;
    PyTypeObject* function_type = nullptr;
    // Filled by the module body; see EventOriginals.
    EventOriginals originals;
};

extern ProcessState process;

// The texts; valid once init_runtime() has succeeded.
inline constexpr Texts& text = process.texts;

// Interns the texts and takes the builtins' namespace. Safe to call again after a failed import.
int init_runtime();

// Holds `module` as the process's module object, its dict as the namespace of the globals.
void adopt_module(PyObject* module);

// The teardown, on a failed import: lets go of the module object and of what its body left
// here, so that a later import starts afresh. The texts, the builtins and the type stay.
void forget_module();

}  // namespace hook
