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

// time.time(), read before the marker's time as the elapsed time is defined.
Ref clock_now(PyObject* time_module) {
    Ref clock = Ref::steal(PyObject_GetAttr(time_module, text.time));
    return clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref();
}

// Whether now - modified < _DEDUP_SECONDS: 1 or 0, or -1 with an exception set.
int within_window(PyObject* now, PyObject* modified) {
    Ref elapsed = Ref::steal(PyNumber_Subtract(now, modified));
    Ref window = elapsed ? load_global(text.DEDUP_SECONDS) : Ref();
    Ref within = window ? Ref::steal(PyObject_RichCompare(elapsed.get(), window.get(), Py_LT)) : Ref();
    return within ? PyObject_IsTrue(within.get()) : -1;
}

// Where the marker cannot be created or held (a socket or another file that cannot be opened,
// a marker its user may not open, a link to nothing), the same steps one by one on the path,
// with the module's Path: exists(), stat() following links, mkdir of the folder, touch().
int check_and_mark_step_by_step(PyObject* marker_path, PyObject* time_module) {
    Ref exists = Ref::steal(PyObject_CallMethodNoArgs(marker_path, text.exists));
    const int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) {
        return -1;
    }
    if (found) {
        Ref now = clock_now(time_module);
        Ref status = now ? Ref::steal(PyObject_CallMethodNoArgs(marker_path, text.stat)) : Ref();
        Ref modified = status ? Ref::steal(PyObject_GetAttr(status.get(), text.st_mtime_)) : Ref();
        const int repeat = modified ? within_window(now.get(), modified.get()) : -1;
        if (repeat != 0) {
            return repeat;
        }
    }
    Ref folder = Ref::steal(PyObject_GetAttr(marker_path, text.parent));
    Ref mkdir = folder ? Ref::steal(PyObject_GetAttr(folder.get(), text.mkdir)) : Ref();
    Ref no_args = mkdir ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref options = no_args ? Ref::steal(Py_BuildValue("{sOsO}", "parents", Py_True, "exist_ok", Py_True)) : Ref();
    if (!options || !Ref::steal(PyObject_Call(mkdir.get(), no_args.get(), options.get())) ||
        !Ref::steal(PyObject_CallMethodNoArgs(marker_path, text.touch))) {
        return -1;
    }
    return 0;
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
            return check_and_mark_step_by_step(marker_path, time_module);
        case marker::Claim::Existing:
            break;
    }
    marker::LockedMarker held;
    if (!without_gil([&held, path] { return held.lock(path); })) {
        return check_and_mark_step_by_step(marker_path, time_module);
    }
    Ref now = clock_now(time_module);
    if (!now) {
        return -1;
    }
    double modified = 0;
    if (!held.modified(modified)) {
        return 0;
    }
    Ref modified_at = Ref::steal(PyFloat_FromDouble(modified));
    const int repeat = modified_at ? within_window(now.get(), modified_at.get()) : -1;
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
