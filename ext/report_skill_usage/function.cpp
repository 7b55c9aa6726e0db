#include "function.hpp"

#include <frameobject.h>  // PyFrame_New, for traceback entries

#include <cstddef>
#include <cstdio>

#include "runtime.hpp"

namespace hook {

namespace {

struct HookFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;         // interned; also __qualname__
    PyObject* parameter;    // interned parameter name, or nullptr
    PyObject* doc;
    PyObject* annotations;  // made with the function, as a def statement would
    PyObject* code;         // made on the first read of __code__: only introspection needs it
};

HookFunction* as_function(PyObject* object) { return reinterpret_cast<HookFunction*>(object); }

// --- Argument handling -------------------------------------------------------------------

// The keywords of a call, one (name, value) pair at a time: a vectorcall's names with their
// values after the positional arguments, or a tp_call's dict in its order. Both call protocols
// test them through the one routine below, so they raise alike.
class Keywords {
public:
    Keywords(PyObject* kwnames, PyObject* const* values) : names_(kwnames), values_(values) {}
    explicit Keywords(PyObject* kwargs) : dict_(kwargs) {}

    bool from_dict() const { return dict_ != nullptr; }

    Py_ssize_t size() const {
        if (dict_) {
            return PyDict_GET_SIZE(dict_);
        }
        return names_ ? PyTuple_GET_SIZE(names_) : 0;
    }

    // Borrowed references; nothing here runs Python code, so the dict stays as it is meanwhile.
    bool next(PyObject** name, PyObject** value) {
        if (dict_) {
            return PyDict_Next(dict_, &position_, name, value);
        }
        if (position_ >= size()) {
            return false;
        }
        *name = PyTuple_GET_ITEM(names_, position_);
        *value = values_[position_++];
        return true;
    }

private:
    PyObject* names_ = nullptr;
    PyObject* const* values_ = nullptr;
    PyObject* dict_ = nullptr;
    Py_ssize_t position_ = 0;
};

int reject_arguments_of_main(const FunctionSpec& spec, Py_ssize_t nargs, const Keywords& keywords) {
    if (keywords.size() > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
        return -1;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name, "takes no arguments", nargs);
        return -1;
    }
    return 0;
}

void raise_wrong_count(const FunctionSpec& spec, Py_ssize_t nargs) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", Py_ssize_t{1}, "", nargs);
}

// The TypeError for an argument of another type. A subclass of the accepted type gets a note
// too, since the usual typing rules would let it pass.
void raise_incorrect_type(const FunctionSpec& spec, PyObject* argument) {
    Ref got = type_name(Py_TYPE(argument));
    const char* got_text = got ? PyUnicode_AsUTF8(got.get()) : nullptr;
    if (!got_text) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 spec.parameter, spec.accepts->tp_name, got_text);
    if (!PyObject_TypeCheck(argument, spec.accepts)) {
        return;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "%s() accepts only an argument of exactly type %s: this check is stricter than the usual "
        "typing rules and refuses instances of subclasses of built-in types.",
        spec.name, spec.accepts->tp_name));
    Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(error.get(), text.add_note, note.get())) : Ref();
    if (!added) {
        PyErr_Clear();  // the TypeError goes out without its note
    }
    PyErr_SetRaisedException(error.release());
}

// Fills `*argument` (borrowed), testing in this order: the number of positional arguments,
// each keyword, whether the parameter is filled, the argument's type.
int take_argument(HookFunction* self, PyObject* const* args, Py_ssize_t nargs, Keywords keywords,
                  PyObject** argument) {
    const FunctionSpec& spec = *self->spec;
    if (keywords.size() == 0 ? nargs != 1 : nargs > 1) {
        raise_wrong_count(spec, nargs);
        return -1;
    }
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    PyObject* keyword = nullptr;
    PyObject* keyword_value = nullptr;
    while (keywords.next(&keyword, &keyword_value)) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        const int order = keyword == self->parameter ? 0 : PyUnicode_Compare(keyword, self->parameter);
        if (order == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (order != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
            return -1;
        }
        if (value) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                         keyword);
            return -1;
        }
        value = keyword_value;
    }
    if (!value) {
        raise_wrong_count(spec, nargs);
        return -1;
    }
    if (Py_TYPE(value) != spec.accepts) {
        raise_incorrect_type(spec, value);
        return -1;
    }
    *argument = value;
    return 0;
}

// Every exception that leaves a function carries an entry with its module-qualified name.
PyObject* with_traceback_entry(const FunctionSpec& spec, PyObject* result) {
    if (!result) {
        char qualified_name[128];
        std::snprintf(qualified_name, sizeof qualified_name, "%s.%s", module_name, spec.name);
        add_traceback_entry(qualified_name, spec.source_file, spec.source_line, globals_for_traceback());
    }
    return result;
}

PyObject* run_body(const FunctionSpec& spec, PyObject* argument) {
    // The functions call each other through rebindable globals, so guard the C stack.
    if (Py_EnterRecursiveCall(" in a hook function") != 0) {
        return nullptr;
    }
    PyObject* result = spec.body(argument);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* call_with(HookFunction* self, PyObject* const* args, Py_ssize_t nargs, Keywords keywords) {
    const FunctionSpec& spec = *self->spec;
    PyObject* argument = nullptr;
    if (!spec.parameter) {
        return with_traceback_entry(
            spec, reject_arguments_of_main(spec, nargs, keywords) == 0 ? run_body(spec, nullptr) : nullptr);
    }
    if (take_argument(self, args, nargs, keywords, &argument) != 0) {
        return with_traceback_entry(spec, nullptr);
    }
    // An argument from a dict is held while the body runs, since the body may run code that
    // empties the caller's dict; a vectorcall's arguments are held by its caller.
    Ref held = keywords.from_dict() ? Ref::borrow(argument) : Ref();
    return with_traceback_entry(spec, run_body(spec, argument));
}

// The fast path, taken by the interpreter and PyObject_Call alike.
PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return call_with(as_function(callable), args, nargs, Keywords(kwnames, args + nargs));
}

// For callers that use the type's slot itself, such as the __call__ wrapper: the dict as it
// is, so that a keyword that is not a string gets this function's own message. The tuple's
// items are read in place, as a vectorcall's are (a tuple is its own PySequence_Fast).
PyObject* call_with_dict(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return call_with(as_function(callable), PySequence_Fast_ITEMS(args),
                     PyTuple_GET_SIZE(args), Keywords(kwargs));
}

// --- Introspection -----------------------------------------------------------------------

// A code object that describes the signature for inspect: argument count and variable names.
// Its bytecode is the interpreter's empty stub, which only raises if anyone runs it.
Ref make_code(const HookFunction* self) {
    const FunctionSpec& spec = *self->spec;
    Py_ssize_t count = 0;
    while (spec.varnames[count]) {
        ++count;
    }
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!varnames) {
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.varnames[i]);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref stub = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(spec.source_file, spec.name, spec.source_line)));
    if (!stub) {
        return {};
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(stub.get(), "replace"));
    Ref fields = replace ? Ref::steal(Py_BuildValue("{s:i,s:n,s:O,s:i,s:O}", "co_argcount",
                                                    spec.parameter ? 1 : 0, "co_nlocals", count, "co_varnames",
                                                    varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS,
                                                    "co_qualname", self->name))
                         : Ref();
    Ref no_args = fields ? Ref::steal(PyTuple_New(0)) : Ref();
    return no_args ? Ref::steal(PyObject_Call(replace.get(), no_args.get(), fields.get())) : Ref();
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject*, void*) { return Py_NewRef(text.module); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_code(PyObject* object, void*) {
    HookFunction* self = as_function(object);
    if (!self->code) {
        self->code = make_code(self).release();
    }
    return Py_XNewRef(self->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(HookFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Looked up on an instance, the function binds to it, as a def'd function would.
PyObject* function_bind(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

void function_dealloc(PyObject* object) {
    HookFunction* self = as_function(object);
    PyTypeObject* type = Py_TYPE(object);
    Py_XDECREF(self->name);
    Py_XDECREF(self->parameter);
    Py_XDECREF(self->doc);
    Py_XDECREF(self->annotations);
    Py_XDECREF(self->code);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(call_with_dict)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_bind)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "tovrin.skills.hooks.report_skill_usage.hook_function",
    sizeof(HookFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

int init_function_type() {
    if (!process.function_type) {
        process.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    }
    return process.function_type ? 0 : -1;
}

Ref make_function(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    if (spec.parameter) {
        Ref annotation = Ref::steal(PyUnicode_FromString(spec.accepts->tp_name));
        if (!annotation || PyDict_SetItemString(annotations.get(), spec.parameter, annotation.get()) < 0) {
            return {};
        }
    }
    Ref return_annotation = Ref::steal(PyUnicode_FromString(spec.return_annotation));
    if (!return_annotation || PyDict_SetItemString(annotations.get(), "return", return_annotation.get()) < 0) {
        return {};
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) {
        return {};
    }
    Ref parameter;
    if (spec.parameter && !(parameter = Ref::steal(PyUnicode_InternFromString(spec.parameter)))) {
        return {};
    }
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    if (!doc) {
        return {};
    }
    HookFunction* self = PyObject_New(HookFunction, process.function_type);
    if (!self) {
        return {};
    }
    self->vectorcall = call;
    self->spec = &spec;
    self->name = name.release();
    self->parameter = parameter.release();
    self->doc = doc.release();
    self->annotations = annotations.release();
    self->code = nullptr;
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

PyObject* call_one(PyObject* function, const FunctionSpec& spec, PyObject* argument) {
    if (Py_IS_TYPE(function, process.function_type) && as_function(function)->spec == &spec &&
        Py_IS_TYPE(argument, spec.accepts)) {
        return with_traceback_entry(spec, run_body(spec, argument));
    }
    return PyObject_CallOneArg(function, argument);
}

void add_traceback_entry(const char* function_name, const char* source_file, int source_line,
                         PyObject* globals) {
    // The entry is made with no exception pending; whatever happens while making it, the
    // original exception is the one raised.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) {
        return;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, function_name, source_line)));
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)))
                     : Ref();
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised.release());
        return;
    }
    PyErr_SetRaisedException(Py_NewRef(raised.get()));
    // PyTraceBack_Here works on the exception being raised; where it fails, it raises an error
    // of its own in its place, and the original goes back without the entry.
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised.release());
    }
}

}  // namespace hook
