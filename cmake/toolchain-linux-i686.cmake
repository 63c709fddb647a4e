# 32-bit x86 Linux with Debian's multilib GCC (g++-multilib): the engine and
# the console tool at a 32-bit word size on an x86-64 machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# Debian's i386 baseline, without SSE2: the byte loops' scalar code gets
# tested here, as no other build does.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")

# Programs and tests run directly where the kernel runs 32-bit programs, and
# through qemu-user where it does not (a kernel without IA-32 emulation says
# "Exec format error"). TAVO_I686_QEMU=1 in a configure's environment takes
# qemu anyway.
find_program(TAVO_QEMU_I386 qemu-i386-static)
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE tavo_i686_native
                OUTPUT_QUIET ERROR_QUIET)
if(NOT tavo_i686_native EQUAL 0 OR "$ENV{TAVO_I686_QEMU}" STREQUAL "1")
  if(NOT TAVO_QEMU_I386)
    message(FATAL_ERROR "This kernel runs no 32-bit programs and qemu-i386-static is missing: "
                        "run scripts/install-deps.sh linux-i686 as root")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVO_QEMU_I386})
endif()
