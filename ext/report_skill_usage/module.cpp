// The module object (multi-phase initialisation, one object per process) and the hook's
// entry, main(): read the event, resolve it, suppress a repeat, report.
#include <cstdint>
#include <cstdio>

#include "docstrings.hpp"
#include "event_json.hpp"
#include "function.hpp"
#include "runtime.hpp"
#include "skill_dicts.hpp"
#include "skill_tables.hpp"

namespace hook {

namespace {

// --- The entry -----------------------------------------------------------------------------

// `func(argument)`, with `func` read from the module's globals at the moment of the call.
Ref call_global(PyObject* name, PyObject* argument) {
    Ref function = load_global(name);
    return function ? Ref::steal(PyObject_CallOneArg(function.get(), argument)) : Ref();
}

// sys.exit(0), with `sys` looked up anew. Returns -1 with SystemExit set as expected, or 0
// when a replaced sys.exit returns: main then goes on as if nothing had happened.
int exit_quietly() {
    Ref sys = load_global(text.sys);
    Ref exit = sys ? Ref::steal(PyObject_GetAttr(sys.get(), text.exit)) : Ref();
    Ref zero = exit ? Ref::steal(PyLong_FromLong(0)) : Ref();
    if (!zero) {
        return -1;
    }
    return Ref::steal(PyObject_CallOneArg(exit.get(), zero.get())) ? 0 : -1;
}

// Runs exit_quietly() as the handler of the exception being raised: the handled exception
// is the SystemExit's context, as inside an `except Exception:` block.
int exit_quietly_handling_error() {
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.get());
    const int status = exit_quietly();
    // Only the handled exception is put back: the SystemExit, if any, stays the one raised.
    PyErr_SetHandledException(outer.get());
    return status;
}

// The event: sys.stdin.read(), then json.loads().
Ref read_event() {
    Ref sys = load_global(text.sys);
    Ref stdin_stream = sys ? Ref::steal(PyObject_GetAttr(sys.get(), text.stdin_)) : Ref();
    Ref raw = stdin_stream ? Ref::steal(PyObject_CallMethodNoArgs(stdin_stream.get(), text.read)) : Ref();
    if (!raw) {
        return {};
    }
    Ref json = load_global(text.json);
    Ref loads = json ? Ref::steal(PyObject_GetAttr(json.get(), text.loads)) : Ref();
    if (!loads) {
        return {};
    }
    // A Read event carries the whole file it read; building all of it would cost more than
    // the rest of the hook. Resolution reads two members, so only those are built.
    bool taken = false;
    Ref data = parse_event_quickly(json.get(), loads.get(), raw.get(), taken);
    return taken ? std::move(data) : Ref::steal(PyObject_CallOneArg(loads.get(), raw.get()));
}

PyObject* run_main(PyObject*) {
    // Anything unreadable or not JSON is no event of ours.
    Ref data = read_event();
    if (!data) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || exit_quietly_handling_error() < 0) {
            return nullptr;
        }
        // sys.exit returned, and the event was never bound.
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "data");
        return nullptr;
    }
    Ref skill_name = call_global(text.resolve_skill_name, data.get());
    if (!skill_name) {
        return nullptr;
    }
    int truth = PyObject_IsTrue(skill_name.get());
    if (truth < 0 || (truth == 0 && exit_quietly() < 0)) {
        return nullptr;
    }
    Ref duplicate = call_global(text.is_duplicate, skill_name.get());
    if (!duplicate) {
        return nullptr;
    }
    truth = PyObject_IsTrue(duplicate.get());
    if (truth < 0 || (truth == 1 && exit_quietly() < 0)) {
        return nullptr;
    }
    // A failed report must not get in the agent's way.
    if (!call_global(text.report_usage, skill_name.get())) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

const char* const main_varnames[] = {"raw", "data", "skill_name", nullptr};

}  // namespace

const FunctionSpec main_spec = {
    .name = "main",
    .doc = docstring::main,
    .parameter = nullptr,
    .accepts = nullptr,
    .return_annotation = "None",
    .varnames = main_varnames,
    .source_file = "report_skill_usage/module.cpp",
    .source_line = __LINE__,
    .body = run_main,
};

namespace {

// --- The module object -------------------------------------------------------------------


// module.<target> = spec.<source>; a missing attribute of the spec is skipped.
int copy_spec_attribute(PyObject* spec, const char* source, PyObject* module_dict, const char* target,
                        bool keep_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, source, &value) < 0) {
        return -1;
    }
    Ref owned = Ref::steal(value);
    if (!owned || (!keep_none && owned.get() == Py_None)) {
        return 0;
    }
    return PyDict_SetItemString(module_dict, target, owned.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    if (process.owning_interpreter == -1) {
        process.owning_interpreter = interpreter;
    } else if (process.owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    // The process keeps one module object, made by the first import (process.hpp): an import
    // made while the interpreter exits, say, still gets this same object, its namespace whole.
    if (process.module) {
        return Py_NewRef(process.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// A RuntimeWarning when the running interpreter is not the 3.13 this module was built for.
int warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int bind(PyObject* dict, PyObject* name, Ref value) {
    return value ? PyDict_SetItem(dict, name, value.get()) : -1;
}

// `from pathlib import Path`.
Ref import_path_class() {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, text.Path));
    Ref pathlib = fromlist ? Ref::steal(PyImport_ImportModuleLevelObject(text.pathlib, nullptr, nullptr,
                                                                          fromlist.get(), 0))
                           : Ref();
    if (!pathlib) {
        return {};
    }
    PyObject* path_class = nullptr;
    if (PyObject_GetOptionalAttr(pathlib.get(), text.Path, &path_class) == 0) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", text.Path);
    }
    return Ref::steal(path_class);
}

// The module body: the globals in their order, main() when run as the main program.
int run_body(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    if (bind(dict, text.json, import_module(text.json)) < 0 || bind(dict, text.sys, import_module(text.sys)) < 0 ||
        bind(dict, text.Path, import_path_class()) < 0 ||
        bind(dict, text.MCP_TOOL_TO_SKILL, make_mcp_tool_table()) < 0 ||
        bind(dict, text.MCP_TOOL_PREFIX, Ref::steal(PyUnicode_FromString(mcp_tool_prefix))) < 0 ||
        bind(dict, text.BASH_TOVRIN_TO_SKILL, make_bash_subcommand_table()) < 0 ||
        bind(dict, text.resolve_skill_name, make_function(resolve_skill_name_spec)) < 0 ||
        bind(dict, text.resolve_bash_tovrin_command, make_function(resolve_bash_tovrin_command_spec)) < 0 ||
        bind(dict, text.DEDUP_SECONDS, Ref::steal(PyLong_FromLong(30))) < 0 ||
        bind(dict, text.is_duplicate, make_function(is_duplicate_spec)) < 0 ||
        bind(dict, text.report_usage, make_function(report_usage_spec)) < 0 ||
        bind(dict, text.main, make_function(main_spec)) < 0) {
        return -1;
    }
    remember_event_originals(dict);
    PyObject* name = nullptr;
    if (PyDict_GetItemRef(dict, text.dunder_name, &name) < 0) {
        return -1;
    }
    Ref module_name_value = Ref::steal(name);
    const int is_main =
        module_name_value ? PyObject_RichCompareBool(module_name_value.get(), text.dunder_main, Py_EQ) : 0;
    if (is_main < 0) {
        return -1;
    }
    if (is_main) {
        Ref main = load_global(text.main);
        if (!main || !Ref::steal(PyObject_CallNoArgs(main.get()))) {
            return -1;
        }
    }
    return bind(dict, text.dunder_test, Ref::steal(PyDict_New()));
}

int exec_module(PyObject* module) {
    if (process.module) {
        if (process.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'report_skill_usage' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    adopt_module(module);
    if (warn_on_version_mismatch() < 0 || init_runtime() < 0 || init_function_type() < 0 ||
        run_body(module) < 0) {
        add_traceback_entry("init tovrin.skills.hooks.report_skill_usage", "report_skill_usage/module.cpp",
                            __LINE__, process.module_dict);
        // Forget the half-made module: a later import starts afresh.
        forget_module();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    // Hands out the process's one module object, or makes it.
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    // Runs the module body once per process.
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// Empty: the body makes the functions and binds them as globals.
PyMethodDef no_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "report_skill_usage",
    docstring::module,
    0,        // the state is process-wide, so the module object carries none
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace hook

PyMODINIT_FUNC PyInit_report_skill_usage() { return PyModuleDef_Init(&hook::module_definition); }
