// What the module's functions share: the lookup of module globals (the module's namespace,
// then the builtins) at each use, and small helpers on str and on mappings.
#pragma once

#include "process.hpp"

namespace hook {

// The module's namespace, or the builtins' before the module exists: the globals of
// traceback entries.
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
