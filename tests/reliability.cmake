# Real-time safety, host-life and hardening tests. Included from
# tests/CMakeLists.txt; the sanitizer builds (scripts/test-sanitizers.sh)
# configure the same tests with QUORVANE_SANITIZE set.
set(QUORVANE_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' (ASan+UBSan), 'thread' or 'fuzz' (clang)")

quorvane_test(test_huge_input)
quorvane_test(test_rt_threads LABELS threads)
# Under an emulator (the Arm build runs its tests in qemu-user) the proof
# means nothing, since the emulator makes system calls of its own; qemu also
# refuses to enter seccomp.
if(NOT QUORVANE_SANITIZE STREQUAL "thread" AND NOT CMAKE_CROSSCOMPILING)
  quorvane_test(test_rt_seccomp)
endif()
if(NOT QUORVANE_SANITIZE)
  # Replaces the allocator, so it cannot coexist with a sanitizer's.
  quorvane_test(test_rt_alloc)
endif()

if(NOT QUORVANE_SANITIZE AND NOT CMAKE_CROSSCOMPILING) # valgrind is the build machine's
  # Valgrind over the lilv host test: a whole host life, bundle discovery to
  # lilv_world_free. What stays reachable at exit is the dynamic loader's
  # record of the library that the test keeps open, so no suppressions.
  find_program(VALGRIND valgrind REQUIRED)
  add_test(NAME valgrind_lilv_host
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full
      --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
      $<TARGET_FILE:quorvane_lilv_tests>)
endif()

# A Debug build has no fortify (it needs optimisation), so nothing to check.
if(QUORVANE_HARDEN AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_test(NAME library_hardening
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_hardening.sh
      $<TARGET_FILE:quorvane> ${CMAKE_BINARY_DIR}/compile_commands.json
      ${CMAKE_READELF} ${CMAKE_NM})
  if(TARGET quorvane-render) # not when built without it (QUORVANE_RENDER=OFF)
    add_test(NAME renderer_hardening
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_hardening.sh
        $<TARGET_FILE:quorvane-render> ${CMAKE_BINARY_DIR}/compile_commands.json
        ${CMAKE_READELF} ${CMAKE_NM} CMakeFiles/quorvane-render.dir/)
  endif()
  # Debian's hardening-check, as a reviewer runs it (scripts/test.sh installs
  # it). Its fortify check wants a __*_chk call, which the library cannot
  # have: its only fortifiable calls are memcpy and memset of sizes known at
  # compile time, checked then. Its control-flow check knows only x86-64's
  # CET mark, which the renderer cannot carry on Debian 12: glibc's start
  # files (Scrt1.o, crti.o, crtn.o) have none, though all its own code has
  # the protection (check_hardening.sh checks that and Arm's).
  find_program(HARDENING_CHECK hardening-check)
  if(HARDENING_CHECK)
    set(library_cf "")
    if(NOT QUORVANE_X86_64)
      set(library_cf --nocfprotection)
    endif()
    add_test(NAME hardening_check_library
      COMMAND ${HARDENING_CHECK} --nofortify ${library_cf} $<TARGET_FILE:quorvane>)
    if(TARGET quorvane-render)
      add_test(NAME hardening_check_renderer
        COMMAND ${HARDENING_CHECK} --nocfprotection $<TARGET_FILE:quorvane-render>)
    endif()
  endif()
endif()

# The libFuzzer host (clang only). The plugin's source is compiled into it, so
# that the fuzzer's coverage feedback reaches inside run() and frame(), with
# the same ASan + UBSan checks as the sanitizer build.
if(QUORVANE_SANITIZE STREQUAL "fuzz")
  set(QUORVANE_FUZZ_SECONDS 60 CACHE STRING "How long the fuzz test runs")
  set(fuzz_flags -fsanitize=fuzzer,address,undefined,float-cast-overflow -fno-sanitize-recover=all)
  add_executable(fuzz_host fuzz/fuzz_host.cpp ${PROJECT_SOURCE_DIR}/plugin/quorvane.cpp)
  target_include_directories(fuzz_host PRIVATE ${PROJECT_SOURCE_DIR} ${QUORVANE_GENERATED_DIR}
                                             ${LV2_INCLUDE_DIRS})
  target_compile_options(fuzz_host PRIVATE ${fuzz_flags})
  target_link_options(fuzz_host PRIVATE ${fuzz_flags})
  target_link_libraries(fuzz_host PRIVATE m ${CMAKE_DL_LIBS})
  # New inputs go to the build tree; the seed corpus in the repo is only read.
  set(fuzz_work ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus)
  file(MAKE_DIRECTORY ${fuzz_work} ${CMAKE_CURRENT_BINARY_DIR}/fuzz-artifacts)
  add_test(NAME fuzz_host
    COMMAND fuzz_host -max_total_time=${QUORVANE_FUZZ_SECONDS} -timeout=30 -rss_limit_mb=2048
      -print_final_stats=1 -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/fuzz-artifacts/
      ${fuzz_work} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus)
  set(QUORVANE_FUZZ_LIBRARY "" CACHE FILEPATH "Plugin library built by the normal build, fuzzed alongside")
  set_tests_properties(fuzz_host PROPERTIES LABELS "fuzz" TIMEOUT 600
    ENVIRONMENT "QUORVANE_FUZZ_LIBRARY=${QUORVANE_FUZZ_LIBRARY}")
endif()
