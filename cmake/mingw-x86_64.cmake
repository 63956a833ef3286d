# Cross toolchain: 64-bit Windows (PE32+, x86-64) with mingw-w64, posix thread model.
# The runtime is linked statically so the programs need no mingw DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR ${TOOLCHAIN_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TOOLCHAIN_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries built by scripts/setup.sh for this target (minizip, Capstone).
if(NOT DEFINED TAVRIX_DEPS_PREFIX)
  if(DEFINED ENV{TAVRIX_DEPS_PREFIX64})
    set(TAVRIX_DEPS_PREFIX "$ENV{TAVRIX_DEPS_PREFIX64}")
  else()
    set(TAVRIX_DEPS_PREFIX "$ENV{HOME}/.cache/tavrix/mingw64")
  endif()
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX} ${TAVRIX_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static zlib (Debian also ships libz.dll.a, which would need zlib1.dll at run time).
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows programs through Wine in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
