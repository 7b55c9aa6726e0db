// The stand-in powershell.exe of the Windows host tests (wine's own runs nothing and exits 0).
// It takes only what the hosts send: `-Command TEXT` behind their flags, TEXT being one
// command line between the hosts' own first and last lines, or Claude Code's PowerShell-tool
// script around one. That line starts a program: a path, after an optional `&`, then plain,
// '…' or "…" words as its arguments. It runs it with its own standard streams and exits as
// PowerShell would after the hosts' lines. Anything else: one line on standard error, exit 1,
// so that nothing passes by accident.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>

#include <string_view>

namespace {

using std::wstring_view;

// Text built up in a fixed buffer (no C++ library to link): the longest command line and more.
struct Text {
    wchar_t data[65536] = {};
    size_t size = 0;
    void add(wstring_view part) {
        for (wchar_t c : part) {
            if (size + 1 < sizeof data / sizeof *data) data[size++] = c;
        }
        data[size] = L'\0';
    }
};

// The hosts' own lines around the command: Codex's output encoding line in front of its shell
// calls, Claude Code's exit status test behind its hooks.
constexpr wstring_view CODEX_PREFIX = L"[Console]::OutputEncoding=[System.Text.Encoding]::UTF8;\n";
constexpr wstring_view HOOK_SUFFIX = L"\n; if (-not $?) { if ($LASTEXITCODE -eq 2) { exit 2 } }";
// Claude Code's PowerShell tool passes a script in an environment variable, run by this line:
// its settings, the command, then its exit status taken and the folder it ends in written to
// a file (named between the two last parts).
constexpr wchar_t SCRIPT_VARIABLE[] = L"CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT";
constexpr wstring_view LAUNCHER = L"$__claudeCodeScript = $env:CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT; "
                                  L"$env:CLAUDE_CODE_SHELL_LAUNCHER_SCRIPT = $null; Invoke-Expression -Command $__claudeCodeScript";
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
constexpr wstring_view FLAGS[] = {L"-NoProfile", L"-NonInteractive", L"-NoLogo"};
constexpr wstring_view SPECIAL = L"'\"$`;|&<>(){}@,#\r\n";

[[noreturn]] void refuse(const char* why, wstring_view text) {
    static Text line;
    line.add(L"powershell stand-in: ");
    for (const char* c = why; *c; ++c) {
        const wchar_t wide = wchar_t(*c);
        line.add({&wide, 1});
    }
    line.add(L": ");
    for (wchar_t c : text) {
        line.add(c == L'\n' ? L"\\n" : c == L'\r' ? L"\\r" : wstring_view(&c, 1));
    }
    line.add(L"\r\n");
    static char out[4 * 65536];
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data, int(line.size), out, sizeof out, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), out, DWORD(size > 0 ? size : 0), &written, nullptr);
    ExitProcess(1);
}

// A piece of a view, without substr()'s range check, which would need the C++ library's throw.
wstring_view part(wstring_view text, size_t from, size_t count = wstring_view::npos) {
    from = from < text.size() ? from : text.size();
    return {text.data() + from, count < text.size() - from ? count : text.size() - from};
}

bool blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// One word of the command: '…' (with '' for a quote), "…" (with nothing PowerShell would
// expand), or a plain word. Adds it to `line` quoted for CommandLineToArgvW.
wstring_view take_word(wstring_view rest, Text& line, wstring_view text) {
    static Text word;
    word.size = 0;
    if (rest.front() == L'\'') {
        size_t i = 1;
        for (;; ++i) {
            if (i >= rest.size()) refuse("an unterminated '…' word", text);
            if (rest[i] == L'\'') {
                if (i + 1 < rest.size() && rest[i + 1] == L'\'') { word.add(L"'"); ++i; continue; }
                break;
            }
            word.add(part(rest, i, 1));
        }
        rest.remove_prefix(i + 1);
    } else if (rest.front() == L'"') {
        const size_t end = rest.find(L'"', 1);
        if (end == wstring_view::npos) refuse("an unterminated \"…\" word", text);
        word.add(part(rest, 1, end - 1));
        if (part(rest, 1, end - 1).find_first_of(L"$`") != wstring_view::npos) refuse("a \"…\" word PowerShell would expand", text);
        rest.remove_prefix(end + 1);
    } else {
        size_t end = 0;
        while (end < rest.size() && !blank(rest[end]) && SPECIAL.find(rest[end]) == wstring_view::npos) ++end;
        if (end == 0) refuse("PowerShell syntax the stand-in does not take", text);
        word.add(part(rest, 0, end));
        rest.remove_prefix(end);
    }
    if (!rest.empty() && !blank(rest.front())) refuse("PowerShell syntax the stand-in does not take", text);
    const wstring_view got(word.data, word.size);
    if (got.find(L'"') != wstring_view::npos) refuse("a quote inside a word", text);
    // A word that ends in backslashes keeps them before the closing quote, doubled.
    line.add(line.size ? L" \"" : L"\"");
    line.add(got);
    for (size_t i = got.size(); i > 0 && got[i - 1] == L'\\'; --i) line.add(L"\\");
    line.add(L"\"");
    return rest;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    int i = 1;
    while (i < count && (wstring_view(argv[i]) == FLAGS[0] || wstring_view(argv[i]) == FLAGS[1] ||
                         wstring_view(argv[i]) == FLAGS[2])) {
        ++i;
    }
    if (i + 1 < count && wstring_view(argv[i]) == L"-ExecutionPolicy" && wstring_view(argv[i + 1]) == L"Bypass") {
        i += 2;
    }
    if (!argv || i + 2 != count || wstring_view(argv[i]) != L"-Command") {
        refuse("arguments other than the hosts' flags and -Command TEXT", GetCommandLineW());
    }
    wstring_view text = argv[i + 1];
    enum { PLAIN, HOOK, TOOL } form = PLAIN;
    static wchar_t pwd_file[32768];
    if (text == LAUNCHER) {
        static wchar_t script[32768];
        const DWORD length = GetEnvironmentVariableW(SCRIPT_VARIABLE, script, 32768);
        SetEnvironmentVariableW(SCRIPT_VARIABLE, nullptr);
        text = wstring_view(script, length < 32768 ? length : 0);
        const size_t suffix = text.find(TOOL_SUFFIX);
        const wstring_view file = suffix == wstring_view::npos ? L"" : part(text, suffix + TOOL_SUFFIX.size());
        const size_t end = file.find(L'\'');
        if (!text.starts_with(TOOL_PREFIX) || end == wstring_view::npos || end == 0 || part(file, end) != TOOL_END) {
            refuse("a script other than Claude Code's", text);
        }
        for (size_t c = 0; c < end; ++c) pwd_file[c] = file[c];
        form = TOOL;
        text = part(text, TOOL_PREFIX.size(), suffix - TOOL_PREFIX.size());
    }
    wstring_view rest = text;
    if (rest.starts_with(CODEX_PREFIX)) rest.remove_prefix(CODEX_PREFIX.size());
    if (form == PLAIN && rest.ends_with(HOOK_SUFFIX)) {
        form = HOOK;
        rest.remove_suffix(HOOK_SUFFIX.size());
    }
    while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && blank(rest.back())) rest.remove_suffix(1);
    if (rest.starts_with(L"&")) {
        rest.remove_prefix(1);
        while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
    }
    if (rest.empty()) refuse("no command", text);
    static Text line;
    while (!rest.empty()) {
        rest = take_word(rest, line, text);
        while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
    }
    // The first word is the program: a path, not a name PowerShell would look up.
    int words = 0;
    wchar_t** parsed = CommandLineToArgvW(line.data, &words);
    if (!parsed || wstring_view(parsed[0]).find_first_of(L"\\/") == wstring_view::npos) {
        refuse("a first word that is not a path", text);
    }
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) {
        refuse("the program cannot be started", text);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    if (form == TOOL) {
        static wchar_t folder[32768];
        static char utf8[4 * 32768];
        const DWORD length = GetCurrentDirectoryW(32768, folder);
        const int size = WideCharToMultiByte(CP_UTF8, 0, folder, int(length), utf8, sizeof utf8, nullptr, nullptr);
        HANDLE file = CreateFileW(pwd_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE || !WriteFile(file, utf8, DWORD(size), &written, nullptr)) {
            refuse("cannot write the folder file", pwd_file);
        }
        CloseHandle(file);
        return int(status);
    }
    if (form == HOOK) return status == 2 ? 2 : 0;
    return status == 0 ? 0 : 1;
}
