// A stand-in for python.exe in the Windows launcher's check under wine: it writes the bytes
// it reads on standard input back on standard output, and exits 3 when it was started with
// exactly one argument, the Python launcher script, else 4: the launcher must pass the event
// whole and give back this status.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const wchar_t* wanted = L"tovrin-report-skill-usage-python";
    bool as_expected = arguments && count == 2;
    if (as_expected) {
        const int length = lstrlenW(arguments[1]);
        const int suffix = lstrlenW(wanted);
        as_expected = length > suffix && lstrcmpW(arguments[1] + length - suffix, wanted) == 0 &&
                      arguments[1][length - suffix - 1] == L'\\';
    }
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    static char block[65536];
    DWORD got = 0;
    while (ReadFile(in, block, sizeof block, &got, nullptr) && got > 0) {
        DWORD written = 0;
        for (DWORD done = 0; done < got; done += written) {
            if (!WriteFile(out, block + done, got - done, &written, nullptr)) {
                return 5;
            }
        }
    }
    return as_expected ? 3 : 4;
}
