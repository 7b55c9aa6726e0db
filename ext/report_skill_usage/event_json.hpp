// A quick look into the event's JSON text for the two members that resolution reads, so that
// main() need not build the whole document: a Read event carries all of the file it read.
#pragma once

#include "ref.hpp"

namespace hook {

// Notes the module's json, json.loads, json._default_decoder (with the methods it decodes by
// and its scanner) and _resolve_skill_name as its body bound them (process.originals); the
// quick look is taken only while all of them are still in place.
void remember_event_originals(PyObject* module_dict);

// json.loads(raw) as far as the module's own resolution can tell: a dict of the members
// "tool_name" and "tool_input", each parsed by json.loads itself. Taken only for text that is
// certainly a JSON object json.loads accepts; `taken` is false otherwise (escaped top-level
// names, numbers that int() might refuse, NaN, deep nesting, anything not plain JSON), and the
// caller parses the whole text with json.loads.
Ref parse_event_quickly(PyObject* json, PyObject* loads, PyObject* raw, bool& taken);

}  // namespace hook
