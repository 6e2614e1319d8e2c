# MOD's pedal for each plugin: quorvane_modgui(), called by quorvane_plugin()
# for each plugin of plugins.cmake, stamps its entry of modgui.ttl (brand,
# label, gui) and its template, modgui/icon-SUFFIX.html, into the build's
# bundle; quorvane_modgui_finish() writes modgui.ttl and copies the shared
# files of modgui/ (stylesheet, film strips, screenshots and thumbnails).

set(modgui_brand quorvane) # at most 11 characters on MOD
file(READ modgui/gui.ttl.in modgui_gui_template)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS modgui/gui.ttl.in)
set_property(DIRECTORY PROPERTY quorvane_modgui "")

# quorvane_modgui(SUFFIX URI NAME LABEL IN symbol... OUT symbol...): the
# audio ports by symbol, one jack each on the pedal's sides.
function(quorvane_modgui suffix uri name label)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" "IN;OUT")
  string(LENGTH "${label}" length)
  if(length EQUAL 0 OR length GREATER 16)
    message(FATAL_ERROR "${suffix}: LABEL \"${label}\" must have 1 to 16 characters (MOD cuts it)")
  endif()
  set(brand ${modgui_brand})
  # Classes that pick the pedal's colour and badges: the family by the name.
  set(variant "")
  set(badges "")
  if(suffix MATCHES "coherent")
    set(variant "quorvane-coherent")
  endif()
  if(suffix MATCHES "aligned")
    string(APPEND badges "<span class=\"quorvane-badge\">ALIGNED</span>")
  endif()
  list(LENGTH arg_IN ins)
  if(ins GREATER 1)
    string(APPEND badges "<span class=\"quorvane-badge\">STEREO</span>")
  endif()
  set(jacks_in "")
  foreach(symbol IN LISTS arg_IN)
    string(APPEND jacks_in "\n    <div class=\"quorvane-jack\" mod-role=\"input-audio-port\" "
                           "mod-port-symbol=\"${symbol}\"></div>")
  endforeach()
  set(jacks_out "")
  foreach(symbol IN LISTS arg_OUT)
    string(APPEND jacks_out "\n    <div class=\"quorvane-jack\" mod-role=\"output-audio-port\" "
                            "mod-port-symbol=\"${symbol}\"></div>")
  endforeach()
  configure_file(modgui/icon.html.in ${QUORVANE_BUNDLE_DIR}/modgui/icon-${suffix}.html @ONLY)
  string(CONFIGURE "${modgui_gui_template}" ttl @ONLY)
  set_property(DIRECTORY APPEND_STRING PROPERTY quorvane_modgui "\n${ttl}")
  foreach(picture screenshot thumbnail)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/modgui/${picture}-${suffix}.png)
      message(WARNING "no bundle/modgui/${picture}-${suffix}.png: make it with "
                      "scripts/modgui-images.sh after a build")
    endif()
  endforeach()
endfunction()

# Writes modgui.ttl and copies modgui/'s files; hands the list of generated
# Turtle files back in QUORVANE_MODGUI_TTL.
function(quorvane_modgui_finish)
  get_property(modgui DIRECTORY PROPERTY quorvane_modgui)
  string(STRIP "${modgui}" modgui)
  configure_file(modgui.ttl.in ${QUORVANE_BUNDLE_DIR}/modgui.ttl @ONLY)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/modgui
       modgui/*.css modgui/*.png)
  foreach(f IN LISTS files)
    configure_file(modgui/${f} ${QUORVANE_BUNDLE_DIR}/modgui/${f} COPYONLY)
  endforeach()
  set(QUORVANE_MODGUI_TTL ${QUORVANE_BUNDLE_DIR}/modgui.ttl PARENT_SCOPE)
endfunction()
