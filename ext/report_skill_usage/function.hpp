// The module's function type: a vectorcall object whose name, docstring, signature and
// argument rules all come from one FunctionSpec.
#pragma once

#include "ref.hpp"

namespace hook {

struct FunctionSpec {
    const char* name;  // __name__ and __qualname__; the traceback entry adds the module's name
    const char* doc;
    // The single positional-or-keyword parameter, or nullptr for a function without one.
    const char* parameter;
    PyTypeObject* accepts;  // the argument's exact type, whose name is also its annotation
    const char* return_annotation;
    const char* const* varnames;  // parameter first, then the locals; nullptr-terminated
    const char* source_file;      // where tracebacks place the function
    int source_line;
    // Runs with a checked argument (nullptr for a function without a parameter).
    PyObject* (*body)(PyObject* argument);
};

// The five functions, each defined beside its body.
extern const FunctionSpec resolve_skill_name_spec;
extern const FunctionSpec resolve_bash_tovrin_command_spec;
extern const FunctionSpec is_duplicate_spec;
extern const FunctionSpec report_usage_spec;
extern const FunctionSpec main_spec;

// Makes the function type (process.function_type), once per process.
int init_function_type();

// A new function object for `spec`, annotations included.
Ref make_function(const FunctionSpec& spec);

// function(argument). When `function` is the one made for `spec` and the argument of its type,
// its body runs at once: the same call without the trip through argument handling.
PyObject* call_one(PyObject* function, const FunctionSpec& spec, PyObject* argument);

// Adds a traceback entry named `function_name` to the exception being raised.
void add_traceback_entry(const char* function_name, const char* source_file, int source_line,
                         PyObject* globals);

}  // namespace hook
