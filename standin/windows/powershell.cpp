// The stand-in powershell.exe of the Windows host tests (wine's own runs nothing and exits 0).
// It takes only what the hosts send: `-Command TEXT` behind their flags, TEXT being a command
// between the hosts' own lines, or Claude Code's PowerShell-tool script around one. The
// command starts a program by its path, after an optional `&`, with plain or "…" words as its
// arguments; it runs as it stands, with this program's streams, and the exit status is
// PowerShell's after the hosts' lines. Anything else: one line on standard error, exit 1, so
// that nothing passes by accident.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>

#include <string_view>

namespace {

using std::wstring_view;
constexpr size_t NONE = wstring_view::npos;

// Codex's output encoding line in front of its shell calls; Claude Code's exit status line
// behind its hooks.
constexpr wstring_view CODEX_PREFIX = L"[Console]::OutputEncoding=[System.Text.Encoding]::UTF8;\n";
constexpr wstring_view HOOK_SUFFIX = L"\n; if (-not $?) { if ($LASTEXITCODE -eq 2) { exit 2 } }";
// Claude Code's PowerShell tool passes a script in an environment variable, run by this line:
// its settings, the command, then the exit status taken and the folder it ends in written to
// a file named in the script.
constexpr wchar_t SCRIPT_VARIABLE[] = L"CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT";
constexpr wstring_view LAUNCHER = L"$__claudeCodeScript = $env:CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT; "
                                  L"$env:CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT = $null; "
                                  L"Invoke-Expression -Command $__claudeCodeScript";
constexpr wstring_view TOOL_PREFIX =
    L"try { $PSDefaultParameterValues['Out-File:Encoding'] = 'utf8' } catch {}; "
    L"if ($ExecutionContext.SessionState.LanguageMode -eq 'FullLanguage') { try { $OutputEncoding = "
    L"[System.Text.UTF8Encoding]::new() } catch {}; if ($null -ne $PSStyle) { try { $PSStyle.OutputRendering = "
    L"'PlainText' } catch {} } }; ";
constexpr wstring_view TOOL_SUFFIX =
    L"\n; $_ec = if ($null -ne $LASTEXITCODE) { $LASTEXITCODE } elseif ($?) { 0 } else { 1 }\n; "
    L"(Get-Location).Path | Out-File -FilePath '";
constexpr wstring_view TOOL_END = L"' -Encoding utf8 -NoNewline\n; if ($ExecutionContext.SessionState.LanguageMode -eq "
                                  L"'FullLanguage') { $host.SetShouldExit($_ec) } else { exit $_ec }";

[[noreturn]] void refuse(const char* why, wstring_view text) {
    static char line[4 * 32768 + 256];
    int size = wsprintfA(line, "powershell stand-in: %s: ", why);
    const int added = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), line + size,
                                          int(sizeof line) - size - 2, nullptr, nullptr);
    size += added > 0 ? added : 0;
    for (int i = 0; i < size; ++i) {
        line[i] = line[i] == '\n' || line[i] == '\r' ? ' ' : line[i];
    }
    line[size++] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, DWORD(size), &written, nullptr);
    ExitProcess(1);
}

// A piece of a view, without substr()'s range check, which would need the C++ library's throw.
wstring_view part(wstring_view text, size_t from, size_t count = NONE) {
    from = from < text.size() ? from : text.size();
    return {text.data() + from, count < text.size() - from ? count : text.size() - from};
}

bool blank(wchar_t c) { return c == L' ' || c == L'\t'; }

wstring_view trimmed(wstring_view text) {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// Words that PowerShell and CommandLineToArgvW read alike: a "…" word is whole, with no
// backslash before its closing quote, and nothing anywhere that PowerShell would expand or
// read as more than a word.
bool plain_words(wstring_view command) {
    bool quoted = false;
    for (size_t i = 0; i < command.size(); ++i) {
        const wchar_t c = command[i];
        if (c == L'"') {
            const bool edge = quoted ? (i + 1 == command.size() || blank(command[i + 1])) && command[i - 1] != L'\\'
                                     : i == 0 || blank(command[i - 1]);
            if (!edge) return false;
            quoted = !quoted;
        } else if (wstring_view(L"$`'\r\n").find(c) != NONE ||
                   (!quoted && wstring_view(L";|&<>(){}@,#").find(c) != NONE)) {
            return false;
        }
    }
    return !quoted;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    int i = 1;
    for (; argv && i < count; ++i) {
        const wstring_view flag = argv[i];
        if (flag == L"-ExecutionPolicy" && i + 1 < count && wstring_view(argv[i + 1]) == L"Bypass") {
            ++i;
        } else if (flag != L"-NoProfile" && flag != L"-NonInteractive" && flag != L"-NoLogo") {
            break;
        }
    }
    if (!argv || i + 2 != count || wstring_view(argv[i]) != L"-Command") {
        refuse("arguments other than the hosts' flags and -Command TEXT", GetCommandLineW());
    }
    wstring_view text = argv[i + 1];
    enum { PLAIN, HOOK, TOOL } form = PLAIN;
    static wchar_t folder_file[32768];
    if (text == LAUNCHER) {
        static wchar_t script[32768];
        const DWORD length = GetEnvironmentVariableW(SCRIPT_VARIABLE, script, 32768);
        SetEnvironmentVariableW(SCRIPT_VARIABLE, nullptr);
        text = wstring_view(script, length < 32768 ? length : 0);
        const size_t suffix = text.find(TOOL_SUFFIX);
        const wstring_view file = suffix == NONE ? L"" : part(text, suffix + TOOL_SUFFIX.size());
        const size_t end = file.find(L'\'');
        if (!text.starts_with(TOOL_PREFIX) || end == NONE || end == 0 || part(file, end) != TOOL_END) {
            refuse("a script other than Claude Code's", text);
        }
        part(file, 0, end).copy(folder_file, end);
        form = TOOL;
        text = part(text, TOOL_PREFIX.size(), suffix - TOOL_PREFIX.size());
    }
    wstring_view command = text;
    if (command.starts_with(CODEX_PREFIX)) command.remove_prefix(CODEX_PREFIX.size());
    if (form == PLAIN && command.ends_with(HOOK_SUFFIX)) {
        form = HOOK;
        command.remove_suffix(HOOK_SUFFIX.size());
    }
    command = trimmed(command);
    if (command.starts_with(L"&")) command = trimmed(part(command, 1));
    if (!plain_words(command)) refuse("PowerShell the stand-in does not take", text);
    // The first word is the program: a path, not a name PowerShell would look up.
    static wchar_t line[32768];
    part(command, 0, 32767).copy(line, 32767);
    int words = 0;
    wchar_t** parsed = CommandLineToArgvW(line, &words);
    if (command.empty() || !parsed || wstring_view(parsed[0]).find_first_of(L"\\/") == NONE) {
        refuse("a first word that is not a path", text);
    }
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE stream : {start.hStdInput, start.hStdOutput, start.hStdError}) {
        SetHandleInformation(stream, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) {
        refuse("the program cannot be started", text);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    if (form == TOOL) {
        static wchar_t folder[32768];
        static char utf8[4 * 32768];
        const int size = WideCharToMultiByte(CP_UTF8, 0, folder, int(GetCurrentDirectoryW(32768, folder)), utf8,
                                             sizeof utf8, nullptr, nullptr);
        HANDLE file =
            CreateFileW(folder_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE || !WriteFile(file, utf8, DWORD(size), &written, nullptr)) {
            refuse("cannot write the folder file", folder_file);
        }
        CloseHandle(file);
        return int(status);
    }
    return form == HOOK ? (status == 2 ? 2 : 0) : (status == 0 ? 0 : 1);
}
