# CMake toolchain for the macOS arm64 port check (make check-ports), cross-compiled here by zig's
# clang (tools/macos-arm64-c++) for macOS 11.0, the oldest that CPython 3.13's installers support
# on arm64. The rest is tools/zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(HOOK_MACOS_VERSION 11.0)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/macos-arm64-c++)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
