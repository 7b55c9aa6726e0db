// Bash command lines that run the product CLI: a token scan by the interpreter's own rules
// for whitespace (str.split, str.strip) and letter case (str.lower), no shell parsing.
//
// The scan works on the string's code points in place and makes no objects on the way: only
// the CLI's subcommand becomes a str. A base name that is all ASCII is matched without
// calling str.lower, whose result for ASCII text is plain ASCII lower case; any other text
// goes through str.lower itself.
#include "docstrings.hpp"
#include "function.hpp"
#include "runtime.hpp"
#include "skill_tables.hpp"

namespace hook {

namespace {

template <typename Char>
class CommandLine {
public:
    CommandLine(PyObject* command, const Char* chars, Py_ssize_t length, bool ascii)
        : command_(command), chars_(chars), begin_(0), end_(length), ascii_(ascii) {}

    PyObject* resolve() {
        strip();
        remove_outer_quotes();
        Py_ssize_t start = 0;
        Py_ssize_t stop = 0;
        Py_ssize_t position = begin_;
        while (next_token(position, start, stop)) {
            const int is_cli = names_cli(start, stop);
            if (is_cli < 0) {
                return nullptr;
            }
            if (is_cli) {
                // The first CLI token decides, by the token that follows it.
                if (!next_token(position, start, stop)) {
                    Py_RETURN_NONE;
                }
                return skill_of_subcommand(start, stop);
            }
        }
        Py_RETURN_NONE;
    }

private:
    static bool is_space(Char c) { return Py_UNICODE_ISSPACE(c); }

    void strip() {
        while (begin_ < end_ && is_space(chars_[begin_])) {
            ++begin_;
        }
        while (end_ > begin_ && is_space(chars_[end_ - 1])) {
            --end_;
        }
    }

    // One pair of matching quotes around the whole line goes, once.
    void remove_outer_quotes() {
        if (end_ == begin_) {
            return;
        }
        const Char first = chars_[begin_];
        if ((first != '"' && first != '\'') || chars_[end_ - 1] != first) {
            return;
        }
        if (end_ - begin_ == 1) {
            begin_ = end_;  // a lone quote both opens and closes: nothing is left
            return;
        }
        ++begin_;
        --end_;
        strip();
    }

    // The token at or after `position`, as [start, stop); false when there is none.
    bool next_token(Py_ssize_t& position, Py_ssize_t& start, Py_ssize_t& stop) const {
        while (position < end_ && is_space(chars_[position])) {
            ++position;
        }
        if (position == end_) {
            return false;
        }
        start = position;
        while (position < end_ && !is_space(chars_[position])) {
            ++position;
        }
        stop = position;
        return true;
    }

    bool all_ascii(Py_ssize_t start, Py_ssize_t stop) const {
        if (ascii_) {
            return true;
        }
        for (Py_ssize_t i = start; i < stop; ++i) {
            if (chars_[i] > 0x7F) {
                return false;
            }
        }
        return true;
    }

    // Whether the token's program name, in lower case, contains "tovrin": its last path
    // component (either slash), less one ".exe" ending.
    int names_cli(Py_ssize_t start, Py_ssize_t stop) const {
        Py_ssize_t base = stop;
        while (base > start && chars_[base - 1] != '/' && chars_[base - 1] != '\\') {
            --base;
        }
        if (stop - base >= 4 && chars_[stop - 4] == '.' && chars_[stop - 3] == 'e' && chars_[stop - 2] == 'x' &&
            chars_[stop - 1] == 'e') {
            stop -= 4;
        }
        if (all_ascii(base, stop)) {
            return contains_tovrin_ignoring_ascii_case(base, stop);
        }
        Ref lowered = lower(base, stop);
        if (!lowered) {
            return -1;
        }
        const Py_ssize_t found = PyUnicode_Find(lowered.get(), text.tovrin, 0, PY_SSIZE_T_MAX, 1);
        return found == -2 ? -1 : found >= 0;
    }

    bool contains_tovrin_ignoring_ascii_case(Py_ssize_t start, Py_ssize_t stop) const {
        constexpr Py_ssize_t needle_length = sizeof cli_name - 1;
        for (Py_ssize_t i = start; i + needle_length <= stop; ++i) {
            Py_ssize_t k = 0;
            // Setting bit 5 lower-cases an ASCII letter and turns nothing else into one.
            while (k < needle_length && (chars_[i + k] | 0x20) == static_cast<Char>(cli_name[k])) {
                ++k;
            }
            if (k == needle_length) {
                return true;
            }
        }
        return false;
    }

    // str.lower() of [start, stop).
    Ref lower(Py_ssize_t start, Py_ssize_t stop) const {
        if (all_ascii(start, stop)) {
            Ref lowered = Ref::steal(PyUnicode_New(stop - start, 0x7F));
            if (lowered) {
                Py_UCS1* out = PyUnicode_1BYTE_DATA(lowered.get());
                for (Py_ssize_t i = start; i < stop; ++i) {
                    const auto c = static_cast<Py_UCS1>(chars_[i]);
                    *out++ = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c | 0x20) : c;
                }
            }
            return lowered;
        }
        Ref piece = Ref::steal(PyUnicode_Substring(command_, start, stop));
        return piece ? Ref::steal(PyObject_CallMethodNoArgs(piece.get(), text.lower)) : Ref();
    }

    PyObject* skill_of_subcommand(Py_ssize_t start, Py_ssize_t stop) const {
        Ref subcommand = lower(start, stop);
        Ref table = subcommand ? load_global(text.BASH_TOVRIN_TO_SKILL) : Ref();
        return table ? str_or_none(get_item(table.get(), subcommand.get())) : nullptr;
    }

    PyObject* command_;
    const Char* chars_;
    Py_ssize_t begin_;
    Py_ssize_t end_;
    bool ascii_;
};

PyObject* resolve_bash_tovrin_command(PyObject* command) {
    return with_code_points(command, [command]<typename Char>(const Char* chars) {
        return CommandLine<Char>(command, chars, PyUnicode_GET_LENGTH(command), PyUnicode_IS_ASCII(command))
            .resolve();
    });
}

const char* const resolve_bash_tovrin_command_varnames[] = {"command", "cmd",  "parts",  "i",
                                                            "part",    "base", "subcmd", nullptr};

}  // namespace

const FunctionSpec resolve_bash_tovrin_command_spec = {
    .name = "_resolve_bash_tovrin_command",
    .doc = docstring::resolve_bash_tovrin_command,
    .parameter = "command",
    .accepts = &PyUnicode_Type,
    .return_annotation = "str | None",
    .varnames = resolve_bash_tovrin_command_varnames,
    .source_file = "report_skill_usage/bash_command.cpp",
    .source_line = __LINE__,
    .body = resolve_bash_tovrin_command,
};

}  // namespace hook
