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

// `dict[key]`, or nothing when it is missing or the lookup fails (with the error set).
Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return Ref::steal(value);
}

// `owner.name`, or nothing when it is missing or the lookup fails (with the error set).
Ref optional_attribute(PyObject* owner, PyObject* name) {
    PyObject* value = nullptr;
    PyObject_GetOptionalAttr(owner, name, &value);
    return Ref::steal(value);
}

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

// The function behind `decoder.name` when that is a method bound to the decoder, else
// nothing; never raises.
Ref method_function(PyObject* decoder, PyObject* name) {
    Ref bound = optional_attribute(decoder, name);
    PyErr_Clear();
    if (!bound || !PyMethod_Check(bound.get()) || PyMethod_Self(bound.get()) != decoder) {
        return {};
    }
    return Ref::borrow(PyMethod_Function(bound.get()));
}

// Whether the default decoder still decodes as it did at load; never raises.
bool decoder_unchanged(PyObject* decoder) {
    Ref scanner = optional_attribute(decoder, text.scan_once);
    PyErr_Clear();
    const EventOriginals& originals = process.originals;
    return scanner.get() == originals.scan_once &&
           method_function(decoder, text.decode).get() == originals.decode &&
           method_function(decoder, text.raw_decode).get() == originals.raw_decode;
}

bool may_look_quickly(PyObject* json, PyObject* loads, PyObject* raw) {
    const EventOriginals& originals = process.originals;
    PyObject* module_dict = process.module_dict;
    if (!originals.json || json != originals.json || loads != originals.loads || !PyUnicode_CheckExact(raw) ||
        !module_dict) {
        return false;
    }
    PyObject* json_dict = PyModule_Check(json) ? PyModule_GetDict(json) : nullptr;
    return json_dict && still_bound(json_dict, text.default_decoder, originals.default_decoder) &&
           still_bound(module_dict, text.resolve_skill_name, originals.resolver) &&
           decoder_unchanged(originals.default_decoder);
}

// json.loads(piece) of a member's value, one level of nesting deeper than the call itself: as
// deep as json.loads would parse it within the whole object, so that the interpreter's
// recursion limit stops the one where it would stop the other, with the same message.
Ref load_member(PyObject* loads, PyObject* piece) {
    if (Py_EnterRecursiveCall(" while decoding a JSON object from a unicode string") != 0) {
        return {};
    }
    Ref value = Ref::steal(PyObject_CallOneArg(loads, piece));
    Py_LeaveRecursiveCall();
    return value;
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
    if (!data) {
        return {};
    }
    const struct {
        PyObject* name;
        Py_ssize_t begin;
        Py_ssize_t end;
    } found[] = {{text.tool_name, members[0].begin, members[0].end},
                 {text.tool_input, members[1].begin, members[1].end}};
    for (const auto& member : found) {
        if (member.begin < 0) {
            continue;
        }
        Ref piece = Ref::steal(PyUnicode_Substring(raw, member.begin, member.end));
        Ref value = piece ? load_member(loads, piece.get()) : Ref();
        if (!value || PyDict_SetItem(data.get(), member.name, value.get()) < 0) {
            return {};
        }
    }
    return data;
}

}  // namespace

// Without them (a json of another make, say) main simply calls json.loads every time: a
// failure to find them is no error. They are null here: the body runs once, and a failed
// import lets go of them (forget_module).
void remember_event_originals(PyObject* dict) {
    Ref json = dict_item(dict, text.json);
    Ref resolver = json ? dict_item(dict, text.resolve_skill_name) : Ref();
    Ref loads = resolver ? optional_attribute(json.get(), text.loads) : Ref();
    Ref decoder = loads ? optional_attribute(json.get(), text.default_decoder) : Ref();
    Ref scanner = decoder ? optional_attribute(decoder.get(), text.scan_once) : Ref();
    PyErr_Clear();
    Ref decode = scanner ? method_function(decoder.get(), text.decode) : Ref();
    Ref raw_decode = decode ? method_function(decoder.get(), text.raw_decode) : Ref();
    if (raw_decode) {
        process.originals = {json.release(), loads.release(), decoder.release(), resolver.release(),
                             decode.release(), raw_decode.release(), scanner.release()};
    }
}

Ref parse_event_quickly(PyObject* json, PyObject* loads, PyObject* raw, bool& taken) {
    taken = false;
    return may_look_quickly(json, loads, raw) ? look_quickly(raw, loads, taken) : Ref();
}

}  // namespace hook
