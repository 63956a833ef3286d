# Shared settings and helpers for the project's targets.

option(TAVRIX_SANITIZE "Build native code with AddressSanitizer and UBSan" ON)
set(TAVRIX_WIN_BUILD_DIR "" CACHE PATH "Windows build tree whose tests the native ctest also runs")

if(NOT WIN32 AND TAVRIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Unicode Win32 APIs throughout; Windows 7 API level.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  # A processor exception (an access violation, a division by zero) in the
  # program's code is turned into a C++ exception that unwinds from the
  # faulting instruction: every instruction that can trap gets unwind
  # information and call-site entries.
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fnon-call-exceptions> $<$<COMPILE_LANGUAGE:C,CXX>:-fasynchronous-unwind-tables>)
endif()

# A Windows test that cannot run on this machine (no IA-32 emulation for
# Wine's 32-bit part; see scripts/ia32.sh) exits with this code and is
# reported as skipped.
set(TAVRIX_WINE_SKIP_CODE 77)

function(tavrix_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra>)
endfunction()

# tavrix_native_test(name SOURCES ... LIBS ...): a GoogleTest program of the
# platform-neutral code, run directly (native build only).
function(tavrix_native_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(WIN32)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  tavrix_warnings(${name})
  add_test(NAME native.${name} COMMAND ${name})
  set_tests_properties(native.${name} PROPERTIES LABELS native)
endfunction()

# tavrix_win_test(name SOURCES ... LIBS ... [OWN_MAIN] [TIMEOUT s]
#                 [COMMAND wrapper args...] [PROPERTIES ...]):
# a Windows test program, run through Wine in the project's prefix and
# display. COMMAND runs a wrapper script instead (it gets the program's path
# as its last argument), for tests that need a serial line or other set-up.
function(tavrix_win_test name)
  cmake_parse_arguments(T "OWN_MAIN" "TIMEOUT" "SOURCES;LIBS;PROPERTIES;COMMAND" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  if(T_OWN_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  endif()
  tavrix_warnings(${name})
  tavrix_embed_trdata(${name})
  if(T_COMMAND)
    add_test(NAME win.${name} COMMAND ${T_COMMAND} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME win.${name} COMMAND ${name})
  endif()
  # Windows tests share one prefix (its registry, the driver's registration)
  # and one display (focus, foreground): they run one at a time.
  set_tests_properties(win.${name} PROPERTIES
    LABELS windows FIXTURES_REQUIRED wine_env TIMEOUT ${T_TIMEOUT} RESOURCE_LOCK dravix_registration
    SKIP_RETURN_CODE ${TAVRIX_WINE_SKIP_CODE}
    ${T_PROPERTIES})
endfunction()

# tavrix_fuzz_target(name SOURCES ... LIBS ... [CORPUS dir]): a libFuzzer
# target (native clang build only). ctest runs it briefly as a smoke check;
# long runs are started by hand: build/native/<dir>/<name> -max_total_time=600
function(tavrix_fuzz_target name)
  cmake_parse_arguments(T "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  tavrix_warnings(${name})
  set(args -runs=20000 -max_len=65536)
  if(T_CORPUS)
    list(APPEND args ${T_CORPUS})
  endif()
  add_test(NAME fuzz.${name} COMMAND ${name} ${args})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
include(TavrixTrdata)
