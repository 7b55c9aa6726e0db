/* bcryptprimitives.dll for wine 8, which lacks ProcessPrng: the hosts' Windows builds (their
   Rust standard library) draw their random bytes from it and do not start without it. Put
   beside a host's .exe, it fills the buffer from RtlGenRandom (SystemFunction036). */
#include <windows.h>

BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
    while (size > 0) {
        const ULONG part = size > 0x10000000 ? 0x10000000 : (ULONG)size;
        if (!SystemFunction036(data, part)) {
            return FALSE;
        }
        data += part;
        size -= part;
    }
    return TRUE;
}
