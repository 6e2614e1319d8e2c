# Lint and format checks on the shipped sources (the plain native build only:
# they read its compile_commands.json, and once is enough).
if(CMAKE_CROSSCOMPILING OR QUORVANE_SANITIZE)
  return()
endif()
file(GLOB render_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/render/*.cpp)
set(shipped ${PROJECT_SOURCE_DIR}/plugin/quorvane.cpp ${render_sources})
if(TARGET quorvane_ui)
  list(APPEND shipped ${PROJECT_SOURCE_DIR}/ui/quorvane_ui.cpp)
endif()

# Without the renderer (QUORVANE_RENDER=OFF) its sources are not compiled.
if(NOT TARGET quorvane-render)
  list(FILTER shipped EXCLUDE REGEX "/render/")
endif()
find_program(CLANG_TIDY clang-tidy)
if(CLANG_TIDY)
  # The repository's .clang-tidy turns every finding into an error.
  add_test(NAME clang_tidy COMMAND ${CLANG_TIDY} -p ${CMAKE_BINARY_DIR} --quiet ${shipped})
endif()

find_program(CLANG_FORMAT clang-format)
if(CLANG_FORMAT)
  file(GLOB_RECURSE formatted CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/plugin/*.[ch]pp ${PROJECT_SOURCE_DIR}/dsp/*.hpp
    ${PROJECT_SOURCE_DIR}/render/*.[ch]pp ${PROJECT_SOURCE_DIR}/bench/*.cpp
    ${PROJECT_SOURCE_DIR}/ui/*.cpp
    ${PROJECT_SOURCE_DIR}/tests/*.[ch]pp ${PROJECT_SOURCE_DIR}/tests/fuzz/*.cpp)
  add_test(NAME clang_format COMMAND ${CLANG_FORMAT} --dry-run --Werror ${formatted})
endif()
