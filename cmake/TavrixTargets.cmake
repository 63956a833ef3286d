# Shared settings and helpers for the project's targets.

option(TAVRIX_SANITIZE "Build native code with AddressSanitizer and UBSan" ON)
set(TAVRIX_WIN_BUILD_DIR "" CACHE PATH "32-bit Windows build tree whose tests the native ctest also runs")
set(TAVRIX_WIN64_BUILD_DIR "" CACHE PATH "64-bit Windows build tree whose tests the native ctest also runs")

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

# Two Windows trees, 32-bit (build/win) and 64-bit (build/win64), build the
# same sources, and the native tree's ctest runs the tests of both: each
# tree's tests are named after it ("win." and "win64."), use its own Wine
# environment (TAVRIX_WINE_ARCH, scripts/wine-arch.sh) and its own set-up
# fixture, and take turns only with the tests of their own tree.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAVRIX_WIN "win64")
  set(TAVRIX_WINE_ARCH "win64")
  set(TAVRIX_MINGW_TRIPLET x86_64-w64-mingw32)
  set(TAVRIX_WINE_PE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(TAVRIX_WIN "win")
  set(TAVRIX_WINE_ARCH "win32")
  set(TAVRIX_MINGW_TRIPLET i686-w64-mingw32)
  set(TAVRIX_WINE_PE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
set(TAVRIX_WINE_FIXTURE ${TAVRIX_WIN}_wine_env)
# The Windows tests of both trees run one at a time: each Wine test keeps
# both of the machine's cores busy, and one run beside another only makes
# the timing of the crash reporter's thread tests worse, not the run shorter.
set(TAVRIX_WINE_LOCK windows_tests)
# The IDL compiler of this target (type libraries are 32- or 64-bit).
set(TAVRIX_WIDL ${TAVRIX_MINGW_TRIPLET}-widl)

# tavrix_wine_test_properties(test...): what every test run under Wine of
# this tree has (label, environment set-up, skip code, the tree's Wine
# environment), for tests added with add_test.
function(tavrix_wine_test_properties)
  set_tests_properties(${ARGN} PROPERTIES
    LABELS windows FIXTURES_REQUIRED ${TAVRIX_WINE_FIXTURE} SKIP_RETURN_CODE ${TAVRIX_WINE_SKIP_CODE})
  set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT TAVRIX_WINE_ARCH=${TAVRIX_WINE_ARCH})
endfunction()

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
#                 [TRDATA_OPTIONS file] [COMMAND wrapper args...] [PROPERTIES ...]):
# a Windows test program, run through Wine in the project's prefix and
# display. COMMAND runs a wrapper script instead (it gets the program's path
# as its last argument), for tests that need a serial line or other set-up.
# TRDATA_OPTIONS is the crash reporter's options file of the program.
function(tavrix_win_test name)
  cmake_parse_arguments(T "OWN_MAIN" "TIMEOUT;TRDATA_OPTIONS" "SOURCES;LIBS;PROPERTIES;COMMAND" ${ARGN})
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
  if(T_TRDATA_OPTIONS)
    tavrix_embed_trdata(${name} OPTIONS ${T_TRDATA_OPTIONS})
  else()
    tavrix_embed_trdata(${name})
  endif()
  set(test ${TAVRIX_WIN}.${name})
  if(T_COMMAND)
    add_test(NAME ${test} COMMAND ${T_COMMAND} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${test} COMMAND ${name})
  endif()
  # A tree's Windows tests share one prefix (its registry, the driver's
  # registration) and one display (focus, foreground): they run one at a time.
  set_tests_properties(${test} PROPERTIES TIMEOUT ${T_TIMEOUT} RESOURCE_LOCK ${TAVRIX_WINE_LOCK} ${T_PROPERTIES})
  tavrix_wine_test_properties(${test})
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
