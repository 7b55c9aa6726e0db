// The launcher on Windows, which has no exec: reads the event whole, answers it alone when it
// may, and otherwise starts the interpreter on the Python launcher script, writes the same
// bytes into its standard input through a pipe, and exits with the interpreter's status.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "launcher.hpp"

namespace launcher::standard_input {

std::size_t announced_size() { return 0; }

Read read(unsigned char* into, std::size_t room, std::size_t& got) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!in || in == INVALID_HANDLE_VALUE) {
        return Read::End;
    }
    DWORD done = 0;
    if (!ReadFile(in, into, room < MAXDWORD ? DWORD(room) : MAXDWORD, &done, nullptr)) {
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE ? Read::End : Read::Failed;
    }
    got = done;
    return done ? Read::Some : Read::End;
}

}  // namespace launcher::standard_input

namespace {

using launcher::Input;

// The longest path Windows takes, in UTF-16 units.
constexpr DWORD longest_path = 32768;

// Writes one line on standard error, the text as UTF-8.
void say(const char* first, const wchar_t* path, const char* last) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    char utf8[3 * longest_path];
    const int length = path ? WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr) : 0;
    const char* pieces[] = {launcher::program_name, ": ", first, length > 0 ? utf8 : "", last, "\r\n"};
    for (const char* piece : pieces) {
        DWORD written;
        WriteFile(error, piece, DWORD(lstrlenA(piece)), &written, nullptr);
    }
}

[[noreturn]] void fail(const char* what, const wchar_t* path) {
    DWORD error = GetLastError();
    char code[32] = " (error ";
    char digits[12];
    int count = 0;
    do {
        digits[count++] = char('0' + error % 10);
        error /= 10;
    } while (error);
    char* out = code + lstrlenA(code);
    while (count) {
        *out++ = digits[--count];
    }
    *out++ = ')';
    *out = '\0';
    say(what, path, code);
    ExitProcess(127);
}

// The Python launcher script's path, beside this program's own file.
const wchar_t* script_beside_self() {
    static wchar_t self[longest_path];
    const DWORD length = GetModuleFileNameW(nullptr, self, longest_path);
    if (length == 0 || length >= longest_path) {
        fail("cannot find its own path", nullptr);
    }
    const wchar_t* folder_end = self + length;
    while (folder_end > self && folder_end[-1] != L'\\' && folder_end[-1] != L'/') {
        --folder_end;
    }
    static wchar_t script[longest_path + 64];
    wchar_t* out = script;
    for (const wchar_t* c = self; c < folder_end; ++c) {
        *out++ = *c;
    }
    for (const char* c = launcher::python_script_name; *c; ++c) {
        *out++ = wchar_t(*c);
    }
    *out = L'\0';
    return script;
}

// The interpreter that the script's "#!" line names. pip writes its path in the file
// system's encoding: UTF-8.
const wchar_t* interpreter_named_by(const wchar_t* script) {
    HANDLE file = CreateFileW(script, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail("cannot read the Python launcher script ", script);
    }
    static char head[4 * longest_path];
    DWORD got = 0;
    const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
    CloseHandle(file);
    size_t begin = 0;
    size_t end = 0;
    if (!read || !launcher::interpreter_named(head, got, begin, end)) {
        SetLastError(ERROR_BAD_FORMAT);
        fail("no interpreter named on the first line (#!) of ", script);
    }
    static wchar_t interpreter[longest_path];
    const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, head + begin, int(end - begin),
                                          interpreter, longest_path - 1);
    if (chars <= 0) {
        fail("no interpreter named on the first line (#!) of ", script);
    }
    interpreter[chars] = L'\0';
    return interpreter;
}

// Appends `argument` to a command line, quoted as the C runtime's parser reads it back.
void append_quoted(wchar_t*& out, const wchar_t* argument) {
    *out++ = L'"';
    for (const wchar_t* c = argument;; ++c) {
        unsigned backslashes = 0;
        while (*c == L'\\') {
            ++c;
            ++backslashes;
        }
        if (!*c) {
            for (unsigned i = 0; i < backslashes * 2; ++i) {
                *out++ = L'\\';
            }
            break;
        }
        const unsigned doubled = *c == L'"' ? backslashes * 2 + 1 : backslashes;
        for (unsigned i = 0; i < doubled; ++i) {
            *out++ = L'\\';
        }
        *out++ = *c;
    }
    *out++ = L'"';
}

// `"interpreter" "script"`, as the interpreter's C runtime splits it back into its argv.
wchar_t* command_line_for(const wchar_t* interpreter, const wchar_t* script) {
    static wchar_t command_line[2 * longest_path + 8];
    wchar_t* out = command_line;
    append_quoted(out, interpreter);
    *out++ = L' ';
    append_quoted(out, script);
    *out = L'\0';
    return command_line;
}

// Starts the interpreter with `input` as its standard input and this program's output and
// error streams.
HANDLE start_interpreter(const wchar_t* interpreter, wchar_t* command_line, HANDLE input) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // A start can fail for a moment, for no fault of the interpreter's file: under wine the new
    // process at times dies in its own set-up (ERROR_INTERNAL_ERROR, about one start in a
    // thousand here), and on Windows a scanner may hold a file it has not seen before. Such a
    // start is tried twice more before the use is given up; a missing or unusable file is not.
    PROCESS_INFORMATION started;
    for (int attempt = 1; !CreateProcessW(interpreter, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &started);
         ++attempt) {
        const DWORD error = GetLastError();
        if (attempt == 3 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED || error == ERROR_BAD_EXE_FORMAT || error == ERROR_INVALID_NAME) {
            fail("cannot start the interpreter ", interpreter);
        }
        Sleep(50);
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}

// Writes the event into the pipe and closes it. The interpreter reads the event whole before
// it writes anything; should it end early, the pipe breaks and the rest is dropped.
void feed(const Input& input, HANDLE write_end) {
    for (std::size_t written = 0; written < input.size;) {
        const std::size_t left = input.size - written;
        DWORD done = 0;
        if (!WriteFile(write_end, input.data + written, left < MAXDWORD ? DWORD(left) : MAXDWORD, &done, nullptr)) {
            break;
        }
        written += done;
    }
    CloseHandle(write_end);
}

// The interpreter's exit status, once it has ended.
DWORD wait_for(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    return status;
}

// Runs the interpreter named by the Python launcher script beside this program on the
// event, and gives its exit status. The event goes through a pipe, written while the
// interpreter reads it; standard input that could not be read at all is passed as it is,
// for the interpreter to meet as main() would.
DWORD hand_over(const Input& input) {
    const wchar_t* script = script_beside_self();
    const wchar_t* interpreter = interpreter_named_by(script);
    wchar_t* command_line = command_line_for(interpreter, script);
    if (input.ending == Input::Ending::FailedAtOnce) {
        return wait_for(start_interpreter(interpreter, command_line, GetStdHandle(STD_INPUT_HANDLE)));
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end;
    HANDLE write_end;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0) ||
        !SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0)) {
        fail("cannot pass the event to the interpreter ", interpreter);
    }
    const HANDLE process = start_interpreter(interpreter, command_line, read_end);
    CloseHandle(read_end);
    feed(input, write_end);
    return wait_for(process);
}

}  // namespace

int main() {
    Input input;
    launcher::read_input(input);
    if (launcher::exits_at_once(input)) {
        return 0;
    }
    return static_cast<int>(hand_over(input));
}
