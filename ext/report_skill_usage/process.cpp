#include "process.hpp"

#include <initializer_list>

namespace hook {

constinit ProcessState process;

int init_runtime() {
    if (process.builtins) {
        return 0;
    }
#define HOOK_INTERN(field, literal)                                           \
    if (!text.field && !(text.field = PyUnicode_InternFromString(literal))) { \
        return -1;                                                            \
    }
    HOOK_TEXTS(HOOK_INTERN)
#undef HOOK_INTERN
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return -1;
    }
    process.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    return 0;
}

void adopt_module(PyObject* module) {
    process.module = Py_NewRef(module);
    process.module_dict = PyModule_GetDict(module);
}

void forget_module() {
    process.module_dict = nullptr;
    EventOriginals& originals = process.originals;
    for (PyObject** held : {&originals.json, &originals.loads, &originals.default_decoder, &originals.resolver,
                            &originals.decode, &originals.raw_decode, &originals.scan_once}) {
        Py_CLEAR(*held);
    }
    Py_CLEAR(process.module);
}

}  // namespace hook
