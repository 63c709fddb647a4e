# Cross-build for 32-bit Windows with Debian's mingw-w64; programs and tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

# The posix-threads variant: GoogleTest needs std::condition_variable, which GCC 12's win32 variant lacks.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# The compiler's default target has no SSE2, which leaves the byte loops
# scalar; every processor that runs a current 32-bit Windows has it.
set(CMAKE_CXX_FLAGS_INIT "-msse2")

# Everything static, so the programs import nothing but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# A win32 Wine prefix of its own inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh win32 ${CMAKE_BINARY_DIR}/wineprefix)
