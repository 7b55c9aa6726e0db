// The report: one run of the product CLI found next to the interpreter,
// `tovrin skills report-usage <skill_name>`, bounded by a timeout.
#include "docstrings.hpp"
#include "function.hpp"
#include "runtime.hpp"

namespace hook {

namespace {

// Path(sys.executable).parent / name, with `Path` and `sys` read from the module each time.
Ref beside_interpreter(PyObject* name) {
    Ref path_class = load_global(text.Path);
    Ref sys = path_class ? load_global(text.sys) : Ref();
    Ref executable = sys ? Ref::steal(PyObject_GetAttr(sys.get(), text.executable)) : Ref();
    Ref interpreter = executable ? Ref::steal(PyObject_CallOneArg(path_class.get(), executable.get())) : Ref();
    Ref folder = interpreter ? Ref::steal(PyObject_GetAttr(interpreter.get(), text.parent)) : Ref();
    return folder ? Ref::steal(PyNumber_TrueDivide(folder.get(), name)) : Ref();
}

// "tovrin.exe" when it exists there, on every platform; else "tovrin", whether it exists or not
// (subprocess.run then fails, and main drops the failure).
Ref find_cli() {
    Ref candidate = beside_interpreter(text.tovrin_exe);
    Ref exists = candidate ? Ref::steal(PyObject_CallMethodNoArgs(candidate.get(), text.exists)) : Ref();
    const int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found != 0) {
        return found < 0 ? Ref() : std::move(candidate);
    }
    return beside_interpreter(text.tovrin);
}

PyObject* report_usage(PyObject* skill_name) {
    Ref subprocess = import_module(text.subprocess);
    Ref tovrin_cmd = subprocess ? find_cli() : Ref();
    Ref program = tovrin_cmd ? Ref::steal(PyObject_Str(tovrin_cmd.get())) : Ref();
    Ref argv = program ? Ref::steal(PyList_New(4)) : Ref();
    if (!argv) {
        return nullptr;
    }
    PyList_SET_ITEM(argv.get(), 0, program.release());
    PyList_SET_ITEM(argv.get(), 1, Py_NewRef(text.skills));
    PyList_SET_ITEM(argv.get(), 2, Py_NewRef(text.report_usage_arg));
    PyList_SET_ITEM(argv.get(), 3, Py_NewRef(skill_name));
    // subprocess.run(argv, capture_output=True, timeout=10): the CLI's output is dropped, and
    // so is its exit status.
    Ref run = Ref::steal(PyObject_GetAttr(subprocess.get(), text.run));
    Ref timeout = run ? Ref::steal(PyLong_FromLong(10)) : Ref();
    Ref keywords = timeout ? Ref::steal(PyTuple_Pack(2, text.capture_output, text.timeout)) : Ref();
    if (!keywords) {
        return nullptr;
    }
    PyObject* args[] = {argv.get(), Py_True, timeout.get()};
    Ref completed = Ref::steal(PyObject_Vectorcall(run.get(), args, 1, keywords.get()));
    if (!completed) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const report_usage_varnames[] = {"skill_name", "subprocess", "tovrin_cmd", nullptr};

}  // namespace

const FunctionSpec report_usage_spec = {
    .name = "_report_usage",
    .doc = docstring::report_usage,
    .parameter = "skill_name",
    .accepts = &PyUnicode_Type,
    .return_annotation = "None",
    .varnames = report_usage_varnames,
    .source_file = "report_skill_usage/report.cpp",
    .source_line = __LINE__,
    .body = report_usage,
};

}  // namespace hook
