// Duplicate suppression: a use of a skill within _DEDUP_SECONDS of the last use let through
// is a repeat. The marker's mtime is the last use let through; the marker itself is empty.
#include "docstrings.hpp"
#include "function.hpp"
#include "marker.hpp"
#include "runtime.hpp"

namespace hook {

namespace {

// Whether the name can make a marker's file name; see marker::name_keeps_a_marker.
bool keeps_a_marker(PyObject* skill_name) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(skill_name));
    return with_code_points(skill_name,
                            [length](const auto* chars) { return marker::name_keeps_a_marker(chars, length); });
}

// Path.home() / ".tovrin" / "hooks" / (".dedup_" + skill_name), with the module's Path.
Ref marker_path_of(PyObject* skill_name) {
    Ref path_class = load_global(text.Path);
    Ref home = path_class ? Ref::steal(PyObject_CallMethodNoArgs(path_class.get(), text.home)) : Ref();
    Ref tovrin = home ? Ref::steal(PyNumber_TrueDivide(home.get(), text.dot_tovrin)) : Ref();
    Ref hooks = tovrin ? Ref::steal(PyNumber_TrueDivide(tovrin.get(), text.hooks)) : Ref();
    Ref file_name = hooks ? Ref::steal(PyUnicode_Concat(text.dedup_prefix, skill_name)) : Ref();
    return file_name ? Ref::steal(PyNumber_TrueDivide(hooks.get(), file_name.get())) : Ref();
}

// The marker's creation and its lock wait touch no Python object, and the wait may take up to
// marker::lock_wait_ms: the interpreter's other threads run meanwhile.
template <typename Call>
auto without_gil(Call&& call) {
    PyThreadState* const saved = PyEval_SaveThread();
    const auto result = call();
    PyEval_RestoreThread(saved);
    return result;
}

// 1 for a repeat, 0 to let the use through, -1 with an exception set.
int check_and_mark(PyObject* marker_path, PyObject* time_module) {
    PyObject* encoded = nullptr;  // os.fspath(), encoded for the file system
    if (!PyUnicode_FSConverter(marker_path, &encoded)) {
        return -1;
    }
    Ref file_system_path = Ref::steal(encoded);
    const char* path = PyBytes_AS_STRING(file_system_path.get());
    switch (without_gil([path] { return marker::create(path); })) {
        case marker::Claim::Created:
            return 0;
        case marker::Claim::Failed:
            return 0;  // no marker can be kept: report every use
        case marker::Claim::Existing:
            break;
    }
    marker::LockedMarker held;
    double modified = 0;
    if (!without_gil([&held, path] { return held.lock(path); })) {
        return 0;
    }
    // The clock first, then the marker's time, as the elapsed time is defined.
    Ref clock = Ref::steal(PyObject_GetAttr(time_module, text.time));
    Ref now = clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref();
    if (!now) {
        return -1;
    }
    if (!held.modified(modified)) {
        return 0;
    }
    Ref modified_at = Ref::steal(PyFloat_FromDouble(modified));
    Ref elapsed = modified_at ? Ref::steal(PyNumber_Subtract(now.get(), modified_at.get())) : Ref();
    Ref window = elapsed ? load_global(text.DEDUP_SECONDS) : Ref();
    Ref within = window ? Ref::steal(PyObject_RichCompare(elapsed.get(), window.get(), Py_LT)) : Ref();
    const int repeat = within ? PyObject_IsTrue(within.get()) : -1;
    if (repeat != 0) {
        return repeat;  // a repeat leaves the marker as it is: the window runs from the last use let through
    }
    held.refresh();
    return 0;
}

PyObject* is_duplicate(PyObject* skill_name) {
    if (!keeps_a_marker(skill_name)) {
        Py_RETURN_FALSE;
    }
    Ref time_module = import_module(text.time);
    Ref marker_path = time_module ? marker_path_of(skill_name) : Ref();
    if (!marker_path) {
        return nullptr;
    }
    const int repeat = check_and_mark(marker_path.get(), time_module.get());
    if (repeat < 0) {
        // A marker that cannot be checked must not cost a report.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    return PyBool_FromLong(repeat);
}

const char* const is_duplicate_varnames[] = {"skill_name", "time", "marker_path", "elapsed", nullptr};

}  // namespace

const FunctionSpec is_duplicate_spec = {
    .name = "_is_duplicate",
    .doc = docstring::is_duplicate,
    .parameter = "skill_name",
    .accepts = &PyUnicode_Type,
    .return_annotation = "bool",
    .varnames = is_duplicate_varnames,
    .source_file = "report_skill_usage/dedup.cpp",
    .source_line = __LINE__,
    .body = is_duplicate,
};

}  // namespace hook
