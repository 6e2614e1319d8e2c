# Tests of the plugin as hosts see it: the bundle's Turtle against the LV2
# schemas, its metadata and presets through lilv, the renderer against direct
# calls, and a check that the build flags keep multiply-adds unfused.

include(GoogleTest)

add_executable(contraction_test contraction_test.cpp)
target_link_libraries(contraction_test PRIVATE GTest::gtest_main)
gtest_discover_tests(contraction_test DISCOVERY_TIMEOUT 120)

add_executable(bundle_test bundle_test.cpp)
target_link_libraries(bundle_test PRIVATE GTest::gtest_main PkgConfig::LILV)
target_include_directories(bundle_test PRIVATE ${LV2_INCLUDE_DIRS})
target_compile_definitions(bundle_test PRIVATE QUORVANE_BUNDLE_DIR="${QUORVANE_BUNDLE_DIR}"
  QUORVANE_LV2_CORE_DIR="${QUORVANE_LV2_CORE_DIR}")
add_dependencies(bundle_test quorvane)
gtest_discover_tests(bundle_test DISCOVERY_TIMEOUT 120)

if(TARGET quorvane-render)
  # The renderer is run as a program; when cross-built, through the emulator.
  string(REPLACE ";" "|" render_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_executable(render_test render_test.cpp)
  target_link_libraries(render_test PRIVATE GTest::gtest_main PkgConfig::SNDFILE ${CMAKE_DL_LIBS})
  target_include_directories(render_test PRIVATE ${LV2_INCLUDE_DIRS})
  target_compile_definitions(render_test PRIVATE
    QUORVANE_BUNDLE_DIR="${QUORVANE_BUNDLE_DIR}"
    QUORVANE_RENDER="$<TARGET_FILE:quorvane-render>"
    QUORVANE_EMULATOR="${render_emulator}")
  add_dependencies(render_test quorvane quorvane-render)
  gtest_discover_tests(render_test DISCOVERY_TIMEOUT 120)
endif()

find_program(SORD_VALIDATE sord_validate REQUIRED)
add_test(NAME bundle_validates
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/validate-bundle.sh ${QUORVANE_BUNDLE_DIR})
# Users have other plugins installed, some with Turtle that does not validate:
# ours must validate all the same. An LV2 directory with LV2's schema
# bundles and a broken one beside them.
set(lv2_broken ${CMAKE_CURRENT_BINARY_DIR}/lv2-with-broken-bundle)
file(MAKE_DIRECTORY ${lv2_broken}/broken.lv2)
file(WRITE ${lv2_broken}/broken.lv2/manifest.ttl
  "<urn:broken> a <http://lv2plug.in/ns/lv2core#Plugin> ; <http://lv2plug.in/ns/lv2core#port> 7 .\n")
file(GLOB spec_bundles /usr/lib/lv2/*.lv2)
foreach(b IN LISTS spec_bundles)
  get_filename_component(name ${b} NAME)
  if(NOT EXISTS ${lv2_broken}/${name})
    file(CREATE_LINK ${b} ${lv2_broken}/${name} SYMBOLIC)
  endif()
endforeach()
add_test(NAME bundle_validates_beside_broken_bundle
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/validate-bundle.sh ${QUORVANE_BUNDLE_DIR})
set_tests_properties(bundle_validates_beside_broken_bundle PROPERTIES
  ENVIRONMENT LV2_SCHEMA_DIR=${lv2_broken})

# The canary above proves the flags reach the test programs; this looks at
# the plugin itself, as built for the target.
add_test(NAME plugin_has_no_fused_multiply_add
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/no-fused-ops.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:quorvane>)
