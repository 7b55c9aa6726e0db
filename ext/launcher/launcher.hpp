// The native launcher: the command that agent hosts register. It answers alone the events on
// which the module's main() would certainly exit 0 and do nothing else, and hands every other
// event, byte for byte, to the Python launcher script installed beside it.
#pragma once

#include <cstddef>

namespace launcher {

// The Python launcher script, beside this program: pip points its "#!" line at the
// interpreter the package was installed for.
inline constexpr char python_script_name[] = "tovrin-report-skill-usage-python";

// True only when main(), given these bytes on standard input, would certainly exit 0, print
// nothing, touch no file and start no process.
bool answers_alone(const unsigned char* text, std::ptrdiff_t size);

// The interpreter that a script's first line names ("#!" and a path, as pip writes it), as
// [begin, end) within `head`, the script's first bytes; false when there is no such line.
bool interpreter_named(const char* head, std::size_t size, std::size_t& begin, std::size_t& end);

}  // namespace launcher
