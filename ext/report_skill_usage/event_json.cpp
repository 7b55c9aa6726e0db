#include "event_json.hpp"

#include "runtime.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hook {

namespace {

// Where the values of the top-level members lie in the text, each as [begin, end), or
// begin == -1 when the member is absent.
struct EventMembers {
    Py_ssize_t tool_name_begin = -1;
    Py_ssize_t tool_name_end = -1;
    Py_ssize_t tool_input_begin = -1;
    Py_ssize_t tool_input_end = -1;
};

// json.loads nests through the C stack; deeper documents are left to it.
constexpr int deepest_nesting = 100;
// int() refuses integers beyond sys.get_int_max_str_digits(), 640 digits at the lowest.
constexpr Py_ssize_t longest_integer = 600;

template <typename Char>
class EventScanner {
public:
    EventScanner(const Char* chars, Py_ssize_t length) : chars_(chars), end_(length) {}

    bool scan(EventMembers& members) {
        skip_space();
        if (!at('{')) {
            return false;  // not an object, or not JSON: json.loads knows what to say
        }
        ++position_;
        skip_space();
        if (at('}')) {
            ++position_;
            return at_end_after_space();
        }
        while (true) {
            Py_ssize_t key_begin = position_;
            bool escaped = false;
            if (!string(escaped)) {
                return false;
            }
            const Py_ssize_t key_end = position_;
            skip_space();
            if (!at(':')) {
                return false;
            }
            ++position_;
            skip_space();
            const Py_ssize_t value_begin = position_;
            if (!value(1)) {
                return false;
            }
            if (escaped) {
                return false;  // an escaped name might spell tool_name
            }
            ++key_begin;  // within the quotes
            if (names(key_begin, key_end - 1, "tool_name")) {
                members.tool_name_begin = value_begin;
                members.tool_name_end = position_;
            } else if (names(key_begin, key_end - 1, "tool_input")) {
                members.tool_input_begin = value_begin;
                members.tool_input_end = position_;
            }
            skip_space();
            if (at('}')) {
                ++position_;
                return at_end_after_space();
            }
            if (!at(',')) {
                return false;
            }
            ++position_;
            skip_space();
        }
    }

private:
    bool at(Char c) const { return position_ < end_ && chars_[position_] == c; }

    // JSON's whitespace, which is all json.loads skips.
    void skip_space() {
        while (position_ < end_) {
            const Char c = chars_[position_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                return;
            }
            ++position_;
        }
    }

    bool at_end_after_space() {
        skip_space();
        return position_ == end_;
    }

    bool names(Py_ssize_t begin, Py_ssize_t end, const char* name) const {
        for (; begin < end && *name; ++begin, ++name) {
            if (chars_[begin] != static_cast<Char>(static_cast<unsigned char>(*name))) {
                return false;
            }
        }
        return begin == end && !*name;
    }

    bool value(int depth) {
        if (position_ == end_) {
            return false;
        }
        bool escaped = false;
        switch (chars_[position_]) {
            case '{':
                return container(depth, '}', true);
            case '[':
                return container(depth, ']', false);
            case '"':
                return string(escaped);
            case 't':
                return word("true");
            case 'f':
                return word("false");
            case 'n':
                return word("null");
            default:
                return number();
        }
    }

    // An object (with names) or an array, from its opening bracket to its closing one.
    bool container(int depth, Char closing, bool with_names) {
        if (depth >= deepest_nesting) {
            return false;
        }
        ++position_;
        skip_space();
        if (at(closing)) {
            ++position_;
            return true;
        }
        while (true) {
            if (with_names) {
                bool escaped = false;
                if (!string(escaped)) {
                    return false;
                }
                skip_space();
                if (!at(':')) {
                    return false;
                }
                ++position_;
                skip_space();
            }
            if (!value(depth + 1)) {
                return false;
            }
            skip_space();
            if (at(closing)) {
                ++position_;
                return true;
            }
            if (!at(',')) {
                return false;
            }
            ++position_;
            skip_space();
        }
    }

    bool word(const char* literal) {
        for (; *literal; ++literal, ++position_) {
            if (position_ == end_ || chars_[position_] != static_cast<Char>(*literal)) {
                return false;
            }
        }
        return true;
    }

    bool digit() const { return position_ < end_ && chars_[position_] >= '0' && chars_[position_] <= '9'; }

    Py_ssize_t digits() {
        const Py_ssize_t begin = position_;
        while (digit()) {
            ++position_;
        }
        return position_ - begin;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, then something that may follow a value.
    bool number() {
        if (at('-')) {
            ++position_;
        }
        if (!digit()) {
            return false;  // NaN, Infinity and anything else
        }
        const bool leading_zero = chars_[position_] == '0';
        const Py_ssize_t integer_digits = digits();
        if (leading_zero && integer_digits > 1) {
            return false;
        }
        bool integer = true;
        if (at('.')) {
            ++position_;
            if (digits() == 0) {
                return false;
            }
            integer = false;
        }
        if (at('e') || at('E')) {
            ++position_;
            if (at('+') || at('-')) {
                ++position_;
            }
            if (digits() == 0) {
                return false;
            }
            integer = false;
        }
        return !(integer && integer_digits > longest_integer);
    }

    // A string with its quotes; `escaped` tells whether it holds any escape.
    bool string(bool& escaped) {
        if (!at('"')) {
            return false;
        }
        ++position_;
        while (position_ < end_) {
            position_ = plain_run_end(position_);
            if (position_ == end_) {
                return false;
            }
            const Char c = chars_[position_++];
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;  // json.loads refuses control characters in strings
            }
            if (c != '\\') {
                continue;
            }
            escaped = true;
            if (position_ == end_) {
                return false;
            }
            const Char kind = chars_[position_++];
            if (kind == 'u') {
                for (int i = 0; i < 4; ++i, ++position_) {
                    if (position_ == end_ || !hex(chars_[position_])) {
                        return false;
                    }
                }
            } else if (kind != '"' && kind != '\\' && kind != '/' && kind != 'b' && kind != 'f' && kind != 'n' &&
                       kind != 'r' && kind != 't') {
                return false;
            }
        }
        return false;
    }

    // Where the run of characters that stand for themselves in a string ends: the next quote,
    // backslash or control character. Strings are nearly all of a large event's text.
    Py_ssize_t plain_run_end(Py_ssize_t from) const {
        const Char* c = chars_ + from;
        const Char* const end = chars_ + end_;
#if defined(__SSE2__)
        if constexpr (sizeof(Char) == 1) {
            const __m128i quote = _mm_set1_epi8('"');
            const __m128i backslash = _mm_set1_epi8('\\');
            const __m128i last_control = _mm_set1_epi8(0x1F);
            for (; end - c >= 16; c += 16) {
                const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
                // x <= 0x1F, unsigned: max(x, 0x1F) == 0x1F
                const __m128i stops = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                    _mm_cmpeq_epi8(_mm_max_epu8(block, last_control), last_control));
                const int mask = _mm_movemask_epi8(stops);
                if (mask != 0) {
                    return (c - chars_) + __builtin_ctz(static_cast<unsigned>(mask));
                }
            }
        }
#endif
        while (c < end && *c != '"' && *c != '\\' && *c >= 0x20) {
            ++c;
        }
        return c - chars_;
    }

    static bool hex(Char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    const Char* chars_;
    Py_ssize_t end_;
    Py_ssize_t position_ = 0;
};

// True when `text` (an exact str) is certainly a JSON object that json.loads accepts, with
// `members` filled in.
bool scan_event(PyObject* text, EventMembers& members) {
    return with_code_points(text, [text, &members]<typename Char>(const Char* chars) {
        return EventScanner<Char>(chars, PyUnicode_GET_LENGTH(text)).scan(members);
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
    EventMembers members;
    taken = scan_event(raw, members);
    if (!taken) {
        return {};
    }
    Ref data = Ref::steal(PyDict_New());
    const struct {
        PyObject* name;
        Py_ssize_t begin;
        Py_ssize_t end;
    } found[] = {{text.tool_name, members.tool_name_begin, members.tool_name_end},
                 {text.tool_input, members.tool_input_begin, members.tool_input_end}};
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
