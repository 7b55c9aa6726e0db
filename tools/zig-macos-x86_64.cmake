# CMake toolchain for the macOS x86_64 port check (make check-ports), cross-compiled here by zig's
# clang (tools/macos-x86_64-c++) for macOS 10.13, the oldest that CPython 3.13's installers support
# on x86_64. The rest is tools/zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HOOK_MACOS_VERSION 10.13)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/macos-x86_64-c++)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
