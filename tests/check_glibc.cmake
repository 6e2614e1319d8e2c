# Fails if the library asks for a glibc symbol version newer than MAX, so that
# a change cannot quietly stop it loading on the older systems it supports
# (the C library is the one thing that it links dynamically).
# Usage: cmake -DOBJDUMP=<objdump> -DLIB=<library> -DMAX=<version> -P check_glibc.cmake
execute_process(COMMAND ${OBJDUMP} -T ${LIB} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -T failed on ${LIB}")
endif()
string(REGEX MATCHALL "GLIBC_[0-9.]+[^\n]*" needed "${listing}")
if(NOT needed)
  message(FATAL_ERROR "no GLIBC_ symbol versions in ${LIB}: not a glibc library?")
endif()
set(newest 0)
set(too_new "")
foreach(entry IN LISTS needed)
  string(REGEX MATCH "^GLIBC_([0-9.]+)" _ "${entry}")
  set(v ${CMAKE_MATCH_1})
  if(v VERSION_GREATER newest)
    set(newest ${v})
  endif()
  if(v VERSION_GREATER MAX)
    string(REGEX REPLACE "^.* " "" symbol "${entry}")
    list(APPEND too_new "${symbol}@GLIBC_${v}")
  endif()
endforeach()
# Any C++ runtime would be a second library to match on the target.
if(listing MATCHES "GLIBCXX_|CXXABI_")
  message(FATAL_ERROR "${LIB} needs the C++ runtime (libstdc++)")
endif()
if(too_new)
  # The usual cause: a math function that glibc 2.27 (expf, exp2f, logf,
  # log2f, powf) or 2.29 (exp, exp2, log, log2, pow) gave a new version.
  set(way_out "")
  foreach(symbol IN LISTS too_new)
    if(symbol MATCHES "^(expf|exp2f|logf|log2f|powf|exp|exp2|log|log2|pow)@")
      set(way_out "\n${CMAKE_MATCH_1} took a new version in glibc 2.27 or 2.29; the \
older one returns the same values (it differs in how errors are reported). Pin it beside the memcpy pin in plugin/quorvane.cpp \
(.symver ${CMAKE_MATCH_1}, ${CMAKE_MATCH_1}@GLIBC_2.2.5 on x86-64, @GLIBC_2.17 on \
aarch64, @GLIBC_2.4 on armhf), or do without it (the functions the floor \
allows are listed in dsp/common.hpp).")
    endif()
  endforeach()
  message(FATAL_ERROR "${LIB} needs glibc newer than ${MAX}: ${too_new}${way_out}")
endif()
message(STATUS "newest glibc symbol version needed: ${newest} (at most ${MAX})")
