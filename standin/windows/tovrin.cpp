// The stand-in product CLI on Windows, `tovrin.exe`: the POSIX stand-ins' behaviour as one
// program, for the suite run by CPython for Windows under wine.
//
// Every run first appends its argument vector to calls.log in its own folder (arguments as
// UTF-8, each ended by a NUL, the run ended by a line feed), as the suite's shell stand-ins do.
// Then:
//   - beside a file named as this program plus ".body" (a copy that the suite made), it runs
//     that body: the few shell statements the suite's stand-ins use, separated by ';':
//     `echo TEXT`, `echo TEXT >&2`, `echo $$ > "FILE"`, `exit N`, `[exec] sleep N`, `kill -9 $$`;
//   - otherwise it is the product beside python.exe: `skills report-usage NAME` records a use,
//     the skill's name as a line of %USERPROFILE%\.tovrin\uses.log, which the suite counts;
//     `auth …` and `query …` do nothing and succeed.
// Both files are appended to under an exclusive lock: hooks run at once must lose no record.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>

#include <string_view>

namespace {

using std::string_view;

char* utf8_of(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    auto* out = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size > 0 ? size : 1));
    if (!out || size <= 0 || !WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, nullptr, nullptr)) {
        ExitProcess(70);
    }
    return out;
}

wchar_t* wide_of(string_view text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    auto* out = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, sizeof(wchar_t) * (size + 1)));
    if (!out) {
        ExitProcess(70);
    }
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out, size);
    out[size] = L'\0';
    return out;
}

void write(HANDLE to, string_view text) {
    for (DWORD done = 0, written = 0; done < text.size(); done += written) {
        if (!WriteFile(to, text.data() + done, DWORD(text.size() - done), &written, nullptr)) {
            return;
        }
    }
}

[[noreturn]] void fail(const char* what) {
    char line[160];
    wsprintfA(line, "tovrin: %s (error %lu)\r\n", what, GetLastError());
    write(GetStdHandle(STD_ERROR_HANDLE), line);
    ExitProcess(1);
}

// Appends `record` to the file, holding an exclusive lock on it while it writes.
void append_locked(const wchar_t* path, string_view record) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail("cannot open a record file");
    }
    OVERLAPPED whole = {};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        fail("cannot lock a record file");
    }
    write(file, record);
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
}

// The whole file, NUL-terminated.
string_view read_whole(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    LARGE_INTEGER size = {};
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        fail("cannot read the body");
    }
    auto* data = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size_t(size.QuadPart) + 1));
    DWORD got = 0;
    if (!data || !ReadFile(file, data, DWORD(size.QuadPart), &got, nullptr)) {
        fail("cannot read the body");
    }
    CloseHandle(file);
    data[got] = '\0';
    return {data, got};
}

// The record of one run: each argument as UTF-8 and a NUL, then a line feed.
string_view argument_record(wchar_t** arguments, int count) {
    static char record[4 * 32768 + 64];
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, record + length,
                                             int(sizeof record - length - 1), nullptr, nullptr);
        if (size <= 0) {
            fail("cannot record the arguments");
        }
        length += size_t(size);  // the NUL written by the conversion ends the argument
    }
    record[length++] = '\n';
    return {record, length};
}

// Pieces of a view without substr(), whose range check would need the C++ library's throw.
string_view head(string_view text, size_t count) {
    return {text.data(), count < text.size() ? count : text.size()};
}

string_view after(string_view text, size_t count) {
    return count < text.size() ? string_view(text.data() + count, text.size() - count) : string_view();
}

string_view trimmed(string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' ||
                             text.front() == '\n')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

string_view unquoted(string_view text) {
    text = trimmed(text);
    return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? head(after(text, 1), text.size() - 2) : text;
}

unsigned number(string_view text) {
    unsigned value = 0;
    for (char c : trimmed(text)) {
        value = value * 10 + unsigned(c - '0');
    }
    return value;
}

// Runs one statement of a body; gives false for one it does not know.
bool run_statement(string_view statement) {
    if (statement.starts_with("exec ")) {
        statement = trimmed(after(statement, 5));
    }
    if (statement.starts_with("exit ")) {
        ExitProcess(number(after(statement, 5)));
    }
    if (statement.starts_with("sleep ")) {
        Sleep(number(after(statement, 6)) * 1000);
        return true;
    }
    if (statement == "kill -9 $$") {
        TerminateProcess(GetCurrentProcess(), 9);
    }
    if (statement.starts_with("echo $$ > ")) {
        char pid[16];
        wsprintfA(pid, "%lu\n", GetCurrentProcessId());
        HANDLE file = CreateFileW(wide_of(unquoted(after(statement, 10))), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fail("cannot write the pid file");
        }
        write(file, pid);
        CloseHandle(file);
        return true;
    }
    if (statement.starts_with("echo ")) {
        string_view text = after(statement, 5);
        const bool to_error = text.ends_with(">&2");
        text = unquoted(to_error ? head(text, text.size() - 3) : text);
        HANDLE to = GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
        write(to, text);
        write(to, "\n");
        return true;
    }
    return false;
}

int run_body(string_view body) {
    while (!body.empty()) {
        const size_t end = body.find(';');
        const string_view statement = trimmed(head(body, end));
        if (!statement.empty() && !run_statement(statement)) {
            write(GetStdHandle(STD_ERROR_HANDLE), "tovrin: a body statement the stand-in does not know\r\n");
            return 99;
        }
        body = end == string_view::npos ? string_view() : after(body, end + 1);
    }
    return 0;
}

// %USERPROFILE%\.tovrin\uses.log, its folder made.
const wchar_t* uses_log() {
    static wchar_t path[32768];
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", path, 32768 - 32);
    if (length == 0 || length >= 32768 - 32) {
        fail("USERPROFILE is not set");
    }
    lstrcatW(path, L"\\.tovrin");
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("cannot make the .tovrin folder");
    }
    lstrcatW(path, L"\\uses.log");
    return path;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) {
        fail("cannot read the command line");
    }
    static wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768 - 8);
    if (length == 0 || length >= 32768 - 8) {
        fail("cannot find its own path");
    }
    static wchar_t log[32768];
    lstrcpyW(log, self);
    wchar_t* folder_end = log + length;
    while (folder_end > log && folder_end[-1] != L'\\') {
        --folder_end;
    }
    lstrcpyW(folder_end, L"calls.log");
    append_locked(log, argument_record(arguments, count));

    lstrcatW(self, L".body");
    if (GetFileAttributesW(self) != INVALID_FILE_ATTRIBUTES) {
        return run_body(read_whole(self));
    }
    if (count == 4 && lstrcmpW(arguments[1], L"skills") == 0 && lstrcmpW(arguments[2], L"report-usage") == 0) {
        const char* skill = utf8_of(arguments[3]);
        static char record[4 * 32768 + 2];
        lstrcpynA(record, skill, sizeof record - 1);
        lstrcatA(record, "\n");
        append_locked(uses_log(), record);
        return 0;
    }
    // The product's commands that the host tests' models run (`auth login`, `query run X`):
    // they succeed, doing nothing, so that the host takes the call as done.
    if (count >= 3 && (lstrcmpW(arguments[1], L"auth") == 0 || lstrcmpW(arguments[1], L"query") == 0)) {
        return 0;
    }
    write(GetStdHandle(STD_ERROR_HANDLE), "usage: tovrin skills report-usage <skill_name>\r\n");
    return 2;
}
