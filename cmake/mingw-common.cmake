# The settings both Windows toolchains share (mingw-i686.cmake and
# mingw-x86_64.cmake set TOOLCHAIN_PREFIX and the libraries' folder first):
# mingw-w64 with the posix thread model, the runtime linked statically so
# that the programs need no mingw DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR ${TOOLCHAIN_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TOOLCHAIN_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries built by scripts/setup.sh for this target (minizip, Capstone).
if(NOT DEFINED TAVRIX_DEPS_PREFIX)
  if(DEFINED ENV{${TAVRIX_DEPS_VARIABLE}})
    set(TAVRIX_DEPS_PREFIX "$ENV{${TAVRIX_DEPS_VARIABLE}}")
  else()
    set(TAVRIX_DEPS_PREFIX "$ENV{HOME}/.cache/tavrix/${TAVRIX_DEPS_FOLDER}")
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
