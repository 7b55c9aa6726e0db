// A quick look into the event's JSON text for the two members resolution reads, so that main()
// need not build the whole document (a Read event carries the file it read).
#pragma once

#include "ref.hpp"

namespace hook {

// Where the values of the top-level members "tool_name" and "tool_input" lie in the text,
// each as [begin, end), or begin == -1 when the member is absent.
struct EventMembers {
    Py_ssize_t tool_name_begin = -1;
    Py_ssize_t tool_name_end = -1;
    Py_ssize_t tool_input_begin = -1;
    Py_ssize_t tool_input_end = -1;
};

// True when `text` (an exact str) is certainly a JSON object that json.loads accepts, with
// `members` filled in; false when in any doubt: the caller then leaves the text to json.loads.
// It doubts what is rare in events but costly to get right: escaped top-level names, numbers
// that json.loads might refuse, NaN and Infinity, deep nesting, any departure from plain JSON.
bool scan_event(PyObject* text, EventMembers& members);

}  // namespace hook
