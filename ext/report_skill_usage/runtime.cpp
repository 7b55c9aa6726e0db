#include "runtime.hpp"

namespace hook {

PyObject* globals_for_traceback() { return process.module_dict ? process.module_dict : process.builtins; }

Ref load_global(PyObject* name) {
    PyObject* value = nullptr;
    if (process.module_dict && PyDict_GetItemRef(process.module_dict, name, &value) != 0) {
        return Ref::steal(value);  // found, or an error is set
    }
    if (PyDict_GetItemRef(process.builtins, name, &value) != 0) {
        return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref import_module(PyObject* name) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, process.module_dict, nullptr, nullptr, 0));
}

Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) < 0) {
            return {};
        }
        return value ? Ref::steal(value) : Ref::borrow(fallback ? fallback : Py_None);
    }
    Ref get = Ref::steal(PyObject_GetAttr(mapping, text.get));
    if (!get) {
        return {};
    }
    PyObject* args[] = {key, fallback};
    return Ref::steal(PyObject_Vectorcall(get.get(), args, fallback ? 2 : 1, nullptr));
}

Ref type_name(PyTypeObject* type) { return Ref::steal(PyType_GetName(type)); }

void raise_expected_str(PyObject* value) {
    Ref name = type_name(Py_TYPE(value));
    const char* name_text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (name_text) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", name_text);
    }
}

PyObject* str_or_none(Ref value) {
    if (!value || value.get() == Py_None || PyUnicode_CheckExact(value.get())) {
        return value.release();
    }
    raise_expected_str(value.get());
    return nullptr;
}

}  // namespace hook
