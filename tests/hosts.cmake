# Tests of the plugin as hosts see it: the bundle through lilv (metadata,
# presets, instances), its Turtle against the LV2 schemas, the renderer
# against direct calls, and a check that the build flags keep multiply-adds
# unfused.

if(NOT TARGET PkgConfig::LILV)
  pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
endif()

quorvane_test(quorvane_lilv_tests SOURCES test_lilv_host.cpp LIBS PkgConfig::LILV)
quorvane_test(contraction_test)
if(TARGET quorvane-render)
  # The renderer is run as a program; when cross-built, through the emulator.
  string(REPLACE ";" "|" render_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  quorvane_test(render_test LIBS PkgConfig::SNDFILE DEFINES
    QUORVANE_RENDER="$<TARGET_FILE:quorvane-render>" QUORVANE_EMULATOR="${render_emulator}"
    QUORVANE_VERSION="${PROJECT_VERSION}")
  add_dependencies(render_test quorvane-render)
endif()

# The bundle's Turtle against LV2's own schemas. Users have other plugins
# installed, some with Turtle that does not validate: ours must validate all
# the same. So the LV2 directory searched holds LV2's schema bundles and a
# broken bundle beside them, which the second test shows fails when it is
# the one validated: the first passes only because it is not read.
find_program(SORD_VALIDATE sord_validate REQUIRED)
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
add_test(NAME bundle_validates
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/validate-bundle.sh ${QUORVANE_BUNDLE_DIR})
add_test(NAME bundle_validation_catches_broken_bundle
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/validate-bundle.sh ${lv2_broken}/broken.lv2)
set_tests_properties(bundle_validates bundle_validation_catches_broken_bundle PROPERTIES
  ENVIRONMENT LV2_SCHEMA_DIR=${lv2_broken})
set_tests_properties(bundle_validation_catches_broken_bundle PROPERTIES
  PASS_REGULAR_EXPRESSION "Found [1-9][0-9]* errors.*FAILED: [^ ]*/broken.lv2 does not validate")

# The canary above proves the flags reach the test programs; this looks at
# the plugin itself, as built for the target.
add_test(NAME plugin_has_no_fused_multiply_add
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/no-fused-ops.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:quorvane>)

# MOD's pedals on a board in headless Chromium, served as mod-ui serves
# them. Skipped where Chromium or python3 is not installed (scripts/test.sh
# installs them).
add_test(NAME modgui_faces_render
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/modgui-faces.sh ${QUORVANE_BUNDLE_DIR} ${QUORVANE_LV2_CORE_DIR})
set_tests_properties(modgui_faces_render PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)

# Each plugin in jalv under a JACK server of the test's own, with a client
# that plays into it and listens (jack_probe), as the plugin's traits say it
# should behave (bundle/traits.tsv). Natively only, and not in the
# sanitizer builds, whose library jalv could not load; skipped where jackd or
# jalv is not installed (scripts/test.sh installs them).
if(NOT CMAKE_CROSSCOMPILING AND NOT QUORVANE_SANITIZE)
  pkg_check_modules(JACK QUIET IMPORTED_TARGET jack)
  set(jack_probe "")
  if(JACK_FOUND)
    add_executable(jack_probe jack_probe.cpp)
    target_link_libraries(jack_probe PRIVATE PkgConfig::JACK m)
    set(jack_probe $<TARGET_FILE:jack_probe>)
  endif()
  # A saved session for jalv to restore, made through lilv.
  add_executable(state_folder state_folder.cpp)
  target_link_libraries(state_folder PRIVATE PkgConfig::LILV m)
  add_test(NAME jalv_runs_each_plugin
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/jalv-host.sh ${QUORVANE_BUNDLE_DIR} ${QUORVANE_LV2_CORE_DIR}
      ${PROJECT_BINARY_DIR}/bundle/traits.tsv "${jack_probe}" $<TARGET_FILE:state_folder>)
  set_tests_properties(jalv_runs_each_plugin PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240
    RUN_SERIAL TRUE)

  # The plugin windows in jalv.gtk3 under Xvfb, looked at by x11_probe.
  pkg_check_modules(X11_CAIRO QUIET IMPORTED_TARGET cairo x11)
  set(x11_probe "")
  if(X11_CAIRO_FOUND AND TARGET quorvane_ui)
    add_executable(x11_probe x11_probe.cpp)
    target_link_libraries(x11_probe PRIVATE PkgConfig::X11_CAIRO)
    set(x11_probe $<TARGET_FILE:x11_probe>)
  endif()
  add_test(NAME ui_in_jalv
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/ui-jalv.sh ${QUORVANE_BUNDLE_DIR} ${QUORVANE_LV2_CORE_DIR}
      "${jack_probe}" "${x11_probe}" $<TARGET_FILE:quorvane_lilv_tests>)
  set_tests_properties(ui_in_jalv PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 RUN_SERIAL TRUE)
endif()
