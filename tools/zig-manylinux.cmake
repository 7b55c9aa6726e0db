# CMake toolchain for the manylinux wheel: zig's clang (tools/manylinux-c++), compiling and
# linking against glibc 2.17's symbols. The system stays this machine's (x86_64 Linux), so
# FindPython asks the interpreter that builds the wheel about itself.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/manylinux-c++)
