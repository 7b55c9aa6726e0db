// A strict scan of an event's JSON text: whether json.loads certainly accepts it as an object,
// and where the values of the members wanted lie. It works on the text's code units as stored
// (a str's code points, or UTF-8 bytes, whose structure is all ASCII) and needs nothing of
// Python, so that the launcher decides with the very scan the module trusts.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hook {

// A member of the object, by name, and where its value lies: [begin, end), or begin == -1
// while the member is absent.
struct MemberValue {
    const char* name;
    std::ptrdiff_t begin = -1;
    std::ptrdiff_t end = -1;
};

// json.loads nests through the C stack; deeper documents are left to it.
constexpr int deepest_nesting = 100;
// int() refuses integers beyond sys.get_int_max_str_digits(), 640 digits at the lowest.
constexpr std::ptrdiff_t longest_integer = 600;

template <typename Char>
class EventScanner {
public:
    EventScanner(const Char* chars, std::ptrdiff_t length) : chars_(chars), end_(length) {}

    // True when the text is certainly a JSON object that json.loads accepts and that names
    // no member by an escape (an escaped name might spell a wanted one). Each wanted member
    // gets the place of its value, the last one's when it recurs, as json.loads keeps it.
    bool scan(MemberValue* wanted, int count) {
        skip_space();
        if (!at('{')) {
            return false;  // not an object, or not JSON: json.loads knows what to say
        }
        const Wanted top = {wanted, count};
        return container(0, '}', &top) && at_end_after_space();
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

    static bool names(const Char* chars, std::ptrdiff_t begin, std::ptrdiff_t end, const char* name) {
        for (; begin < end && *name; ++begin, ++name) {
            if (chars[begin] != static_cast<Char>(static_cast<unsigned char>(*name))) {
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
                return container(depth, '}');
            case '[':
                return container(depth, ']');
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

    // The members whose values the top-level object reports.
    struct Wanted {
        MemberValue* members;
        int count;

        void found(const Char* chars, std::ptrdiff_t name_begin, std::ptrdiff_t name_end,
                   std::ptrdiff_t value_begin, std::ptrdiff_t value_end) const {
            for (int i = 0; i < count; ++i) {
                if (names(chars, name_begin, name_end, members[i].name)) {
                    members[i].begin = value_begin;
                    members[i].end = value_end;
                    return;
                }
            }
        }
    };

    // A member's name and the colon after it; [begin, end) is the name within its quotes.
    bool member_name(bool refuse_escapes, std::ptrdiff_t& begin, std::ptrdiff_t& end) {
        bool escaped = false;
        begin = position_ + 1;
        if (!string(escaped) || (escaped && refuse_escapes)) {
            return false;
        }
        end = position_ - 1;
        skip_space();
        if (!at(':')) {
            return false;
        }
        ++position_;
        skip_space();
        return true;
    }

    // An object (with names) or an array, from its opening bracket to its closing one. With
    // `wanted`, the object is the top-level one: its members' places are reported, and a name
    // written with an escape ends the scan.
    bool container(int depth, Char closing, const Wanted* wanted = nullptr) {
        if (depth >= deepest_nesting) {
            return false;
        }
        const bool with_names = closing == '}';
        ++position_;
        skip_space();
        if (at(closing)) {
            ++position_;
            return true;
        }
        while (true) {
            std::ptrdiff_t name_begin = 0;
            std::ptrdiff_t name_end = 0;
            if (with_names && !member_name(wanted != nullptr, name_begin, name_end)) {
                return false;
            }
            const std::ptrdiff_t value_begin = position_;
            if (!value(depth + 1)) {
                return false;
            }
            if (wanted) {
                wanted->found(chars_, name_begin, name_end, value_begin, position_);
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

    std::ptrdiff_t digits() {
        const std::ptrdiff_t begin = position_;
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
        const std::ptrdiff_t integer_digits = digits();
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
    std::ptrdiff_t plain_run_end(std::ptrdiff_t from) const {
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
    std::ptrdiff_t end_;
    std::ptrdiff_t position_ = 0;
};

}  // namespace hook
