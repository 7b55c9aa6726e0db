// Whether the launcher may answer an event alone. Conservative: everything it cannot be sure
// of goes to the module. It decides with the module's own JSON scan, words and MCP table,
// from the core.
#include <cstdint>
#include <cstring>

#include "event_scan.hpp"
#include "launcher.hpp"
#include "skill_tables.hpp"

namespace launcher {

namespace {

using Char = unsigned char;

// What the interpreter's strict UTF-8 decoder accepts: no overlong forms, no surrogates,
// nothing past U+10FFFF. ASCII runs, nearly all of a large event, go eight bytes at a time.
bool valid_utf8(const Char* text, std::ptrdiff_t size) {
    std::ptrdiff_t i = 0;
    while (i < size) {
        if (size - i >= 8) {
            std::uint64_t block;
            std::memcpy(&block, text + i, 8);
            if ((block & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        const Char lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int extra;
        std::uint32_t code_point;
        std::uint32_t least;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, code_point = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, code_point = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, code_point = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (size - i <= extra) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            const Char next = text[i + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (code_point < least || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

struct Span {
    const Char* begin;
    const Char* end;

    bool is(const char* literal) const {
        const std::size_t length = std::strlen(literal);
        return static_cast<std::size_t>(end - begin) == length && std::memcmp(begin, literal, length) == 0;
    }
    bool starts_with(const char* literal) const {
        const std::size_t length = std::strlen(literal);
        return static_cast<std::size_t>(end - begin) >= length && std::memcmp(begin, literal, length) == 0;
    }
};

// A member's value when it is a string without escapes: its text within the quotes.
bool plain_string(const Char* text, const hook::MemberValue& member, Span& inside) {
    if (member.begin < 0 || text[member.begin] != '"') {
        return false;
    }
    inside = {text + member.begin + 1, text + member.end - 1};
    return std::memchr(inside.begin, '\\', inside.end - inside.begin) == nullptr;
}

bool in_mcp_table(Span tool) {
    for (const auto& entry : hook::mcp_tools) {
        if (tool.is(entry.key)) {
            return true;
        }
    }
    return false;
}

int hex_value(Char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The ASCII letter, in lower case, that a code point may become under str.lower(), or 0.
// Beyond ASCII only two lower to ASCII letters: U+0130 to "i" and a combining dot, and the
// Kelvin sign to "k".
char letter_of(std::uint32_t code_point) {
    if ((code_point | 0x20) >= 'a' && (code_point | 0x20) <= 'z' && code_point < 0x80) {
        return static_cast<char>(code_point | 0x20);
    }
    return code_point == 0x130 ? 'i' : code_point == 0x212A ? 'k' : 0;
}

// Whether the text of a JSON string (within its quotes, already scanned as valid) holds the
// CLI's name in any letter case, spelled plainly or through escapes.
bool may_name_cli(Span inside) {
    const char* const needle = hook::cli_name;
    int matched = 0;
    for (const Char* c = inside.begin; c < inside.end;) {
        std::uint32_t code_point = *c++;
        if (code_point == '\\') {
            const Char kind = *c++;
            if (kind == 'u') {
                code_point = 0;
                for (int k = 0; k < 4; ++k) {
                    code_point = (code_point << 4) | static_cast<std::uint32_t>(hex_value(*c++));
                }
            } else {
                // \" \\ \/ stand for themselves; \b \f \n \r \t for control characters.
                code_point = kind == '"' || kind == '\\' || kind == '/' ? kind : 0;
            }
        } else if (code_point >= 0x80) {
            // A lead byte and its continuation bytes, already checked.
            const int extra = code_point >= 0xF0 ? 3 : code_point >= 0xE0 ? 2 : 1;
            code_point &= 0x3F >> extra;
            for (int k = 0; k < extra; ++k) {
                code_point = (code_point << 6) | (*c++ & 0x3F);
            }
        }
        const char letter = letter_of(code_point);
        // No letter of the name recurs, so a mismatch can only start a new match.
        if (letter == needle[matched]) {
            if (++matched == sizeof hook::cli_name - 1) {
                return true;
            }
        } else {
            matched = letter == needle[0] ? 1 : 0;
        }
    }
    return false;
}

// A Bash or PowerShell call is read by its tool_input's "command" alone: certain when that
// is absent, or a string that cannot name the CLI.
bool shell_call_names_no_cli(const Char* text, const hook::MemberValue& tool_input) {
    if (tool_input.begin < 0) {
        return true;  // no input: the command is ""
    }
    const Char* object = text + tool_input.begin;
    if (*object != '{') {
        return false;  // a falsy value reads as {}, any other fails: either is the module's to say
    }
    hook::MemberValue command[] = {{hook::command_member}};
    if (!hook::EventScanner<Char>(object, tool_input.end - tool_input.begin).scan(command, 1)) {
        return false;
    }
    if (command[0].begin < 0) {
        return true;
    }
    if (object[command[0].begin] != '"') {
        return false;
    }
    return !may_name_cli({object + command[0].begin + 1, object + command[0].end - 1});
}

}  // namespace

bool answers_alone(const Char* text, std::ptrdiff_t size) {
    if (!valid_utf8(text, size)) {
        return false;
    }
    hook::MemberValue members[] = {{hook::tool_name_member}, {hook::tool_input_member}};
    if (!hook::EventScanner<Char>(text, size).scan(members, 2)) {
        return false;
    }
    Span tool;
    if (!plain_string(text, members[0], tool) || tool.is(hook::skill_tool)) {
        return false;
    }
    if (tool.starts_with(hook::mcp_tool_prefix)) {
        return !in_mcp_table({tool.begin + hook::mcp_tool_start(tool.begin, tool.end - tool.begin), tool.end});
    }
    if (tool.is(hook::bash_tool) || tool.is(hook::powershell_tool)) {
        return shell_call_names_no_cli(text, members[1]);
    }
    return true;  // a tool that cannot name a skill
}

bool interpreter_named(const char* head, std::size_t size, std::size_t& begin, std::size_t& end) {
    if (size < 2 || head[0] != '#' || head[1] != '!') {
        return false;
    }
    begin = 2;
    while (begin < size && (head[begin] == ' ' || head[begin] == '\t')) {
        ++begin;
    }
    end = begin;
    while (end < size && head[end] != '\n') {
        ++end;
    }
    if (end == size) {
        return false;  // no whole line
    }
    while (end > begin && (head[end - 1] == '\r' || head[end - 1] == ' ' || head[end - 1] == '\t')) {
        --end;
    }
    return end > begin;
}

}  // namespace launcher
