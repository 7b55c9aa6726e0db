// The launcher on Windows, which has no exec: reads the event whole, answers it alone when it
// may, and otherwise starts the interpreter on the Python launcher script, writes the same
// bytes into its standard input through a pipe, and exits with the interpreter's status.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>

#include "launcher.hpp"

namespace {

struct Input {
    unsigned char* data = nullptr;
    DWORD size = 0;
    bool whole = true;  // false when a read failed before the end
};

// Writes one line on standard error, the text as UTF-8.
void say(const char* first, const wchar_t* path, const char* last) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    char utf8[3 * 32768];
    const int length = path ? WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr) : 0;
    const char* pieces[] = {"tovrin-report-skill-usage: ", first, length > 0 ? utf8 : "", last, "\r\n"};
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

// Standard input to its end; a missing or closed one reads as empty. Events are far below
// the 4 GB a DWORD counts.
bool read_input(Input& input) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD capacity = 0;
    while (in && in != INVALID_HANDLE_VALUE) {
        if (input.size == capacity) {
            const DWORD next = capacity ? capacity * 2 : 65536;
            if (next < capacity) {
                return false;
            }
            auto* data = static_cast<unsigned char*>(realloc(input.data, next));
            if (!data) {
                return false;
            }
            input.data = data;
            capacity = next;
        }
        DWORD got = 0;
        if (!ReadFile(in, input.data + input.size, capacity - input.size, &got, nullptr)) {
            const DWORD error = GetLastError();
            input.whole = error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE;
            return true;
        }
        if (got == 0) {
            return true;
        }
        input.size += got;
    }
    return true;
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

// Runs the interpreter named by the Python launcher script beside this program on the
// event, and gives its exit status.
DWORD hand_over(const Input& input) {
    static wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768) {
        fail("cannot find its own path", nullptr);
    }
    wchar_t* folder_end = self + length;
    while (folder_end > self && folder_end[-1] != L'\\' && folder_end[-1] != L'/') {
        --folder_end;
    }
    static wchar_t script[32768 + 64];
    wchar_t* out = script;
    for (const wchar_t* c = self; c < folder_end; ++c) {
        *out++ = *c;
    }
    for (const char* c = launcher::python_script_name; *c; ++c) {
        *out++ = wchar_t(*c);
    }
    *out = L'\0';

    HANDLE file = CreateFileW(script, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail("cannot read the Python launcher script ", script);
    }
    char head[4 * 32768];
    DWORD got = 0;
    const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
    CloseHandle(file);
    size_t begin = 0;
    size_t end = 0;
    if (!read || !launcher::interpreter_named(head, got, begin, end)) {
        SetLastError(ERROR_BAD_FORMAT);
        fail("no interpreter named on the first line (#!) of ", script);
    }
    // pip writes the interpreter's path in the file system's encoding: UTF-8.
    static wchar_t interpreter[32768];
    const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, head + begin, int(end - begin),
                                          interpreter, 32767);
    if (chars <= 0) {
        fail("no interpreter named on the first line (#!) of ", script);
    }
    interpreter[chars] = L'\0';

    static wchar_t command_line[2 * 32768 + 8];
    out = command_line;
    append_quoted(out, interpreter);
    *out++ = L' ';
    append_quoted(out, script);
    *out = L'\0';

    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end;
    HANDLE write_end;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0) ||
        !SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0)) {
        fail("cannot pass the event to the interpreter ", interpreter);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started;
    if (!CreateProcessW(interpreter, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        fail("cannot start the interpreter ", interpreter);
    }
    CloseHandle(started.hThread);
    CloseHandle(read_end);
    // The interpreter reads the event whole before it writes anything; should it end early,
    // the pipe breaks and the rest is dropped.
    for (DWORD written = 0; written < input.size;) {
        DWORD done = 0;
        if (!WriteFile(write_end, input.data + written, input.size - written, &done, nullptr)) {
            break;
        }
        written += done;
    }
    CloseHandle(write_end);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(started.hProcess, &status);
    CloseHandle(started.hProcess);
    return status;
}

}  // namespace

int main() {
    Input input;
    if (!read_input(input)) {
        say("cannot hold the event in memory", nullptr, "");
        return 127;
    }
    if (input.whole && launcher::answers_alone(input.data, static_cast<std::ptrdiff_t>(input.size))) {
        return 0;
    }
    return static_cast<int>(hand_over(input));
}
