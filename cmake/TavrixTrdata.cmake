# tavrix_embed_trdata(target [OPTIONS file] [CODEPAGE number]): after a
# Windows program is linked, the host tool trdata writes the crash
# reporter's data block (line numbers, procedure names, options) into it as
# the RCDATA resource "TRDATA". The program must be linked with DWARF (-g);
# it may be stripped afterwards. OPTIONS names the program's options file
# (crashreport/core/TrOptionsFile.h; relative to the calling folder), whose
# texts are stored in code page CODEPAGE (1251 unless given); without one
# the program gets the defaults with the log on.
#
# The Windows tree is a cross build, so the tool is built for the host by a
# nested configure of tools/trdata/host with the host's default compilers.
include(ExternalProject)

function(_tavrix_trdata_host_tool)
  if(TARGET trdata_host)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/trdata-host)
  ExternalProject_Add(trdata_host
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/trdata/host
    BINARY_DIR ${dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${dir}/trdata)
  set_property(GLOBAL PROPERTY TAVRIX_TRDATA_EXE ${dir}/trdata)
endfunction()

function(tavrix_embed_trdata target)
  cmake_parse_arguments(T "" "OPTIONS;CODEPAGE" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  set(args)
  if(T_OPTIONS)
    get_filename_component(options ${T_OPTIONS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND args --options ${options})
    # A changed options file relinks the program, so that the block is written anew.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${options})
  endif()
  if(T_CODEPAGE)
    list(APPEND args --codepage ${T_CODEPAGE})
  endif()
  _tavrix_trdata_host_tool()
  get_property(tool GLOBAL PROPERTY TAVRIX_TRDATA_EXE)
  add_dependencies(${target} trdata_host)
  # A new tool writes a new block: relink, so that the step runs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${tool})
  target_compile_options(${target} PRIVATE -g)
  target_link_options(${target} PRIVATE -g)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${tool} ${args} $<TARGET_FILE:${target}>
    COMMENT "Writing the data block into ${target}"
    VERBATIM)
endfunction()
