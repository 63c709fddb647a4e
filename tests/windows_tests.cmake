# Tests that only concern the Windows builds. Included from the top-level list
# file after all programs are defined.

# The programs must run on a bare Windows: system DLLs only.
set(tavo_windows_programs $<TARGET_FILE:tavo>)
if(TARGET tavoui)
  list(APPEND tavo_windows_programs $<TARGET_FILE:tavoui>)
endif()
add_test(NAME imports_only_system_dlls
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check_imports.sh ${CMAKE_OBJDUMP} ${tavo_windows_programs})

# Files past 4 GiB. Writes about 4 GiB to disk. The 32-bit program is the
# main concern, but Windows keeps `long` at 32 bits in 64-bit programs too,
# and the 64-bit build still runs where a kernel runs no 32-bit programs.
add_test(NAME large_file_roundtrip
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/large_file_roundtrip.sh ${CMAKE_BINARY_DIR}/large-file
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:tavo>)
set_tests_properties(large_file_roundtrip PROPERTIES TIMEOUT 600 LABELS large)

# The same commands give the same bytes as the Linux tool. The Linux build of
# the same checkout is looked for beside this one; without it the test is
# skipped.
set(TAVO_LINUX_TOOL ${PROJECT_SOURCE_DIR}/build/native/console/tavo CACHE FILEPATH
    "Linux build of the console tool to compare the Windows build with")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " tavo_runner)
add_test(NAME same_output_as_linux
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e/compare_platforms.py
          --linux ${TAVO_LINUX_TOOL} --windows $<TARGET_FILE:tavo> --prefix "${tavo_runner}")
set_tests_properties(same_output_as_linux PROPERTIES SKIP_RETURN_CODE 77)

# Ctrl+C in tavo's console cancels the run and puts the file back. Wine
# delivers console events only to a console on a terminal, so the test runs
# on a pseudo-terminal.
add_executable(tavo_ctrl_c_test ${CMAKE_CURRENT_LIST_DIR}/windows_ctrl_c_test.cpp)
target_compile_options(tavo_ctrl_c_test PRIVATE -municode)
target_link_options(tavo_ctrl_c_test PRIVATE -municode)
tavo_warnings(tavo_ctrl_c_test)
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " tavo_ctrl_c_runner)
add_test(NAME ctrl_c_cancels
  COMMAND script -qec "${tavo_ctrl_c_runner} $<TARGET_FILE:tavo_ctrl_c_test> $<TARGET_FILE:tavo>"
          /dev/null
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(ctrl_c_cancels PROPERTIES TIMEOUT 300)
