# tavrix_embed_trdata(target): after a Windows program is linked, the host
# tool trdata writes the crash reporter's data block (line numbers,
# procedure names, options) into it as the RCDATA resource "TRDATA". The
# program must be linked with DWARF (-g); it may be stripped afterwards.
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
  if(NOT WIN32)
    return()
  endif()
  _tavrix_trdata_host_tool()
  get_property(tool GLOBAL PROPERTY TAVRIX_TRDATA_EXE)
  add_dependencies(${target} trdata_host)
  # A new tool writes a new block: relink, so that the step runs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${tool})
  target_compile_options(${target} PRIVATE -g)
  target_link_options(${target} PRIVATE -g)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${tool} $<TARGET_FILE:${target}>
    COMMENT "Writing the data block into ${target}"
    VERBATIM)
endfunction()
