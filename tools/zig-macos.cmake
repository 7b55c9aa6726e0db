# What both macOS toolchains (tools/zig-macos-arm64.cmake, tools/zig-macos-x86_64.cmake) share.
# No Mac runs here, so the Makefile's check-ports rule gives FindPython this machine's CPython
# headers (the module uses nothing of pyconfig.h that differs), and the module is linked twice:
# by zig, and by LLVM's ld64 (HOOK_LD64) as CMake links it on a Mac (see CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Darwin)
# Archives of Mach-O objects need an archiver that indexes them; LLVM's does.
find_program(CMAKE_AR NAMES llvm-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib REQUIRED)
find_program(HOOK_LD64 NAMES lld REQUIRED)
# zig's stubs of libSystem, which ld64 links against, narrowed by tools/port-checks.
set(HOOK_PYTHON ${CMAKE_CURRENT_LIST_DIR}/../.venv-zig/bin/python)
execute_process(COMMAND ${HOOK_PYTHON} -c "import ziglang, os; print(os.path.dirname(ziglang.__file__))"
                OUTPUT_VARIABLE zig_dir OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(HOOK_LIBSYSTEM ${zig_dir}/lib/libc/darwin/libSystem.tbd)
