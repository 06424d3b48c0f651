# Cross build for 64-bit Windows with Debian's mingw-w64, posix threads variant
# (std::thread, std::mutex and std::shared_mutex need it):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The window needs Qt for Windows and is not built this way; the runner, the
# support library, the serial driver, the measurement core and the portable
# suites are.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(convbench_mingw x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${convbench_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${convbench_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${convbench_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${convbench_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthreads) goes into each
# program, so an .exe runs without DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Tests run under wine from the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
