# CMake toolchain for the Windows wheel and the Windows test programs, cross-compiled here for
# x86-64 Windows by zig's clang (tools/windows-c++, and tools/windows-cc for C). The Makefile's
# wheel rule also gives FindPython what it cannot ask a Windows interpreter on this machine: CPython's
# headers with the pyconfig.h of its Windows build, python313.dll's export table (for its import
# library, made by LLVM's dlltool), and the extension suffix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/windows-c++)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/windows-cc)
# Archives of COFF objects need an archiver that indexes them; LLVM's does.
find_program(CMAKE_AR NAMES llvm-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib REQUIRED)
find_program(CMAKE_DLLTOOL NAMES llvm-dlltool REQUIRED)
