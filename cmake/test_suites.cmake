# tavoren_discover_suites(<target> [TEST_PREFIX <prefix>] [SUITES <suite> ...]
#                         [PROPERTIES <name> <value> ...])
#
# Registers one CTest test per GoogleTest suite of <target>: "<prefix><Suite>"
# runs the program once with --gtest_filter=<Suite>.*. A suite's cases share
# one process, so a run starts each program once per suite rather than once
# per case; under the sanitizers a start alone costs a fifth of a second.
# The suites are read from the program after each link (--gtest_list_tests),
# like gtest_discover_tests does with cases. PROPERTIES are set on every
# suite's test as given; a list value (LABELS "slow;e2e") stays one list.
# SUITES, when given, are the only suites registered.
#
# A suite whose every case skips passes: CTest's skip expression would also
# hide a case that failed beside a skipped one.
set(TAVOREN_LIST_SUITES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/list_test_suites.cmake)

function(tavoren_discover_suites target)
  cmake_parse_arguments(arg "" "TEST_PREFIX" "SUITES;PROPERTIES" ${ARGN})
  string(MAKE_C_IDENTIFIER "${target}_${arg_TEST_PREFIX}" key)
  set(suites_file "${CMAKE_CURRENT_BINARY_DIR}/${key}_suites.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${key}_include.cmake")
  list(JOIN arg_SUITES ":" only)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D "PROGRAM=$<TARGET_FILE:${target}>" -D "OUTPUT=${suites_file}"
            -D "ONLY=${only}" -P ${TAVOREN_LIST_SUITES_SCRIPT}
    BYPRODUCTS ${suites_file}
    VERBATIM)

  # Each property's value as a bracket argument, written into the file CTest
  # reads, so that ';' and quotes arrive as given.
  set(properties "")
  list(LENGTH arg_PROPERTIES count)
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(index RANGE 0 ${last} 2)
      math(EXPR value_index "${index} + 1")
      list(GET arg_PROPERTIES ${index} name)
      list(GET arg_PROPERTIES ${value_index} value)
      string(APPEND properties " ${name} [==[${value}]==]")
    endforeach()
  endif()
  file(GENERATE OUTPUT ${include_file} CONTENT
"if(EXISTS [==[${suites_file}]==])
  include([==[${suites_file}]==])
  foreach(suite IN LISTS tavoren_suites)
    add_test(\"${arg_TEST_PREFIX}\${suite}\" [==[$<TARGET_FILE:${target}>]==]
             \"--gtest_filter=\${suite}.*\")
    set_tests_properties(\"${arg_TEST_PREFIX}\${suite}\" PROPERTIES
                         WORKING_DIRECTORY [==[${CMAKE_CURRENT_BINARY_DIR}]==]${properties})
  endforeach()
else()
  add_test([==[${key}_NOT_BUILT]==] [==[${key}_NOT_BUILT]==])
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
