# Cross-compiles quarnprog.exe for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64). The program then calls KERNEL32 itself and
# the termios layer is not built.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARNPROG_MINGW_PREFIX x86_64-w64-mingw32)
# The win32-threads flavour: the program is single-threaded, and this way no
# winpthread runtime is involved at all. <filesystem> works in both flavours.
set(CMAKE_C_COMPILER ${QUARNPROG_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QUARNPROG_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${QUARNPROG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARNPROG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the GCC and C++ runtimes are linked in, so the
# program needs only the DLLs every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
