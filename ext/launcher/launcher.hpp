// The native launcher: the command that agent hosts register. It answers alone the events on
// which the module's main() would certainly exit 0 and do nothing else, and hands every other
// event, byte for byte, to the Python launcher script installed beside it.
#pragma once

#include <cstddef>

namespace launcher {

// The name it gives itself in its messages.
inline constexpr char program_name[] = "tovrin-report-skill-usage";

// The Python launcher script, beside this program: pip points its "#!" line at the
// interpreter the package was installed for.
inline constexpr char python_script_name[] = "tovrin-report-skill-usage-python";

// The event, as standard input gave it.
struct Input {
    // How the reading ended. main() meets a failed read as an OSError, and an input too large
    // to hold as a MemoryError, and exits 0 on either: after bytes of the event were taken
    // from it, the launcher does the same; before any, it leaves standard input as it is, for
    // the interpreter to meet.
    enum class Ending {
        End,           // the whole event
        FailedAtOnce,  // the first read failed, or found no room: nothing was taken
        FailedLater,   // a read failed, or found no room, after `size` bytes
    };
    unsigned char* data = nullptr;
    std::size_t size = 0;
    Ending ending = Ending::End;
};

// Standard input to its end; a missing or closed one reads as empty.
void read_input(Input& input);

// True when main(), on the standard input that gave `input`, would certainly exit 0, print
// nothing, touch no file and start no process: a read failed after bytes of the event had
// arrived, or the whole event is one that answers_alone() takes.
bool exits_at_once(const Input& input);

// True only when main(), given these bytes on standard input, would certainly exit 0, print
// nothing, touch no file and start no process.
bool answers_alone(const unsigned char* text, std::ptrdiff_t size);

// The interpreter that a script's first line names ("#!" and a path, as pip writes it), as
// [begin, end) within `head`, the script's first bytes; false when there is no such line.
bool interpreter_named(const char* head, std::size_t size, std::size_t& begin, std::size_t& end);

// What each system's file gives read_input.
namespace standard_input {

// The size of what it holds, when it announces one (a file does), or 0.
std::size_t announced_size();

enum class Read {
    Some,    // `got` bytes arrived
    End,     // there is no more: its end, or no standard input at all
    Failed,  // a read failed before the end
};

// Reads up to `room` bytes into `into`, waiting for at least one.
Read read(unsigned char* into, std::size_t room, std::size_t& got);

}  // namespace standard_input

}  // namespace launcher
