# Precompiled headers. The JSON library, the logging library and the
# standard headers (and GoogleTest for the tests) make up a few seconds of
# every file's compilation; parsed once per build and reused by every target
# of a kind, they come off every other file. Off with -DTAVOREN_PCH=OFF. The
# plain build's libraries (GCC, optimised) compile without them, so one
# build still checks that every library file names the headers it uses.
option(TAVOREN_PCH "Reuse precompiled headers across the project's targets" ON)

set(TAVOREN_PCH_HEADERS
  <algorithm> <atomic> <chrono> <cstdint> <filesystem> <functional> <map> <memory> <mutex>
  <optional> <set> <stdexcept> <string> <string_view> <thread> <utility> <vector>
  <nlohmann/json.hpp> <spdlog/spdlog.h>)
# What a donor of those headers links, for their compile flags.
set(TAVOREN_PCH_LIBRARIES nlohmann_json::nlohmann_json spdlog::spdlog fmt::fmt Threads::Threads)

# tavoren_precompiled_headers_donor(<name> <EXECUTABLE|OBJECT> HEADERS ... LIBS ...)
# Makes the target whose precompiled headers others reuse. It links what
# they link for their compile flags, since GCC takes a precompiled header
# only from a compilation with the same options.
function(tavoren_precompiled_headers_donor name kind)
  cmake_parse_arguments(D "" "" "HEADERS;LIBS" ${ARGN})
  if(kind STREQUAL "EXECUTABLE")
    add_executable(${name} ${PROJECT_SOURCE_DIR}/cmake/pch_anchor.cc)
  else()
    add_library(${name} OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch_anchor.cc)
  endif()
  target_link_libraries(${name} PRIVATE ${D_LIBS} tavoren_warnings)
  target_precompile_headers(${name} PRIVATE ${D_HEADERS})
endfunction()

# tavoren_links_to(<target> <library> <out>)
# Sets <out> to whether <target> links <library>, directly or through the
# libraries it links.
function(tavoren_links_to target library out)
  set(seen)
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    if(current STREQUAL library)
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(type ${current} TYPE)
    set(properties INTERFACE_LINK_LIBRARIES)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(imported ${current} IMPORTED)
      if(NOT imported)
        list(APPEND properties LINK_LIBRARIES)
      endif()
    endif()
    foreach(property IN LISTS properties)
      get_target_property(links ${current} ${property})
      if(links)
        list(APPEND pending ${links})
      endif()
    endforeach()
  endwhile()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

# tavoren_targets_in(<out> DIRECTORIES ... TYPES ... [LINKING <library>...])
# Sets <out> to the targets of the given types defined in the given folders
# and their subfolders; only those that link every <library> given.
function(tavoren_targets_in out)
  cmake_parse_arguments(R "" "" "TYPES;DIRECTORIES;LINKING" ${ARGN})
  set(found)
  set(pending ${R_DIRECTORIES})
  while(pending)
    list(POP_FRONT pending dir)
    get_property(children DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${children})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type IN_LIST R_TYPES)
        continue()
      endif()
      set(linked TRUE)
      foreach(library IN LISTS R_LINKING)
        tavoren_links_to(${target} ${library} linked)
        if(NOT linked)
          break()
        endif()
      endforeach()
      if(linked)
        list(APPEND found ${target})
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# tavoren_reuse_precompiled_headers(<donor> <target>...)
function(tavoren_reuse_precompiled_headers donor)
  foreach(target IN LISTS ARGN)
    target_precompile_headers(${target} REUSE_FROM ${donor})
  endforeach()
endfunction()
