# Fails unless lv2_descriptor is the one symbol that the library exports.
# Usage: cmake -DNM=<nm> -DLIB=<library> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
if(NOT names STREQUAL "lv2_descriptor")
  message(FATAL_ERROR "exported symbols of ${LIB}: ${names} (expected only lv2_descriptor)")
endif()
message(STATUS "only lv2_descriptor is exported")
