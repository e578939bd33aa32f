# cmake -D PROGRAM=<test program> -D OUTPUT=<file> [-D ONLY=<Suite>:...]
#       -P list_test_suites.cmake
#
# Writes to OUTPUT `set(tavoren_suites "<Suite>;...")`: the GoogleTest suites
# of PROGRAM, as --gtest_list_tests names them ("Prefix/Suite" for a
# parameterised one), leaving out disabled ones and, when ONLY is given, the
# suites it does not name. Fails when the program does not list its tests
# within 60 seconds.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${PROGRAM}" --gtest_list_tests
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status
                TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${status}):\n${errors}")
endif()
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
string(REPLACE ":" ";" only "${ONLY}")
set(suites "")
foreach(line IN LISTS lines)
  # A suite's line starts in the first column and ends its name with '.',
  # before the comment of a typed suite; its cases are indented.
  if(line MATCHES "^([^ #][^ ]*)\\.( .*)?$")
    set(suite "${CMAKE_MATCH_1}")
    if(NOT suite MATCHES "(^|/)DISABLED_" AND (NOT only OR suite IN_LIST only))
      list(APPEND suites "${suite}")
    endif()
  endif()
endforeach()
file(WRITE "${OUTPUT}.new" "set(tavoren_suites [==[${suites}]==])\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
