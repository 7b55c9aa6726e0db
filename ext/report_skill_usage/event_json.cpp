#include "event_json.hpp"

#include "event_scan.hpp"
#include "runtime.hpp"
#include "skill_tables.hpp"

namespace hook {

namespace {

// True when `text` (an exact str) is certainly a JSON object that json.loads accepts, with
// the places of the `members` wanted filled in.
template <int N>
bool scan_event(PyObject* text, MemberValue (&members)[N]) {
    return with_code_points(text, [text, &members]<typename Char>(const Char* chars) {
        return EventScanner<Char>(chars, PyUnicode_GET_LENGTH(text)).scan(members, N);
    });
}

// What the module body bound, while nothing has rebound it: the quick look at the event
// stands in for json.loads only for these, and only for the module's own resolution.
struct Originals {
    Ref json;
    Ref loads;
    Ref default_decoder;
    Ref resolver;
} originals;

// Whether `name` is still bound in the module to `expected`; never raises.
bool still_bound(PyObject* owner_dict, PyObject* name, PyObject* expected) {
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(owner_dict, name, &value);
    if (found < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(value);
    return found > 0 && value == expected;
}

bool may_look_quickly(PyObject* json, PyObject* loads, PyObject* raw) {
    PyObject* module_dict = module_namespace();
    if (!originals.json || json != originals.json.get() || loads != originals.loads.get() ||
        !PyUnicode_CheckExact(raw) || !module_dict) {
        return false;
    }
    PyObject* json_dict = PyModule_Check(json) ? PyModule_GetDict(json) : nullptr;
    // The members' values are parsed by json.loads, which nests on the C stack.
    return json_dict && still_bound(json_dict, text.default_decoder, originals.default_decoder.get()) &&
           still_bound(module_dict, text.resolve_skill_name, originals.resolver.get()) &&
           PyThreadState_Get()->c_recursion_remaining > 1000;
}

// The event as the module's resolution sees it: a dict of the members it reads, each parsed
// by json.loads itself. `taken` is false when the text is left to json.loads whole.
Ref look_quickly(PyObject* raw, PyObject* loads, bool& taken) {
    MemberValue members[] = {{tool_name_member}, {tool_input_member}};
    taken = scan_event(raw, members);
    if (!taken) {
        return {};
    }
    Ref data = Ref::steal(PyDict_New());
    const struct {
        PyObject* name;
        Py_ssize_t begin;
        Py_ssize_t end;
    } found[] = {{text.tool_name, members[0].begin, members[0].end},
                 {text.tool_input, members[1].begin, members[1].end}};
    for (const auto& member : found) {
        if (!data || member.begin < 0) {
            continue;
        }
        Ref piece = Ref::steal(PyUnicode_Substring(raw, member.begin, member.end));
        Ref value = piece ? Ref::steal(PyObject_CallOneArg(loads, piece.get())) : Ref();
        if (!value || PyDict_SetItem(data.get(), member.name, value.get()) < 0) {
            return {};
        }
    }
    return data;
}

}  // namespace

// Without them (a json of another make, say) main simply calls json.loads every time.
void remember_event_originals(PyObject* dict) {
    PyObject* json = PyDict_GetItem(dict, text.json);
    PyObject* resolver = PyDict_GetItem(dict, text.resolve_skill_name);
    PyObject* loads = nullptr;
    PyObject* default_decoder = nullptr;
    if (json && resolver && PyObject_GetOptionalAttr(json, text.loads, &loads) > 0 &&
        PyObject_GetOptionalAttr(json, text.default_decoder, &default_decoder) > 0) {
        originals = {Ref::borrow(json), Ref::steal(loads), Ref::steal(default_decoder), Ref::borrow(resolver)};
        return;
    }
    Py_XDECREF(loads);
    PyErr_Clear();
}

void forget_event_originals() { originals = Originals{}; }

Ref parse_event_quickly(PyObject* json, PyObject* loads, PyObject* raw, bool& taken) {
    taken = false;
    return may_look_quickly(json, loads, raw) ? look_quickly(raw, loads, taken) : Ref();
}

}  // namespace hook
