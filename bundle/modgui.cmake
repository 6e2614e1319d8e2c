# MOD's pedal for each plugin: quorvane_modgui(), called by quorvane_plugin()
# for each plugin of plugins.cmake, stamps its entry of modgui.ttl (brand,
# label, gui) and its template, modgui/icon-SUFFIX.html, into the build's
# bundle; quorvane_modgui_finish() writes modgui.ttl and copies the shared
# files of modgui/ (stylesheet, film strips, screenshots and thumbnails).
#
# The face follows from the plugin's description alone: its colour and
# badges from its traits and channels, a jack for each audio port, a knob
# for each control input and a footswitch for each toggle, in the order of
# ports.cmake, so a new control or plugin needs no edit here.

set(modgui_brand quorvane) # at most 11 characters on MOD
file(READ modgui/gui.ttl.in modgui_gui_template)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS modgui/gui.ttl.in
             modgui/icon.html.in)
set_property(DIRECTORY PROPERTY quorvane_modgui "")

# One control of the face: a film strip of CLASSES for port SYMBOL, its
# name and, for a knob, the value mod-ui writes under it.
function(modgui_control symbol classes value out)
  string(CONCAT t "\n    <div class=\"quorvane-control\">\n      <div class=\"${classes}\" "
        "mod-role=\"input-control-port\" mod-port-symbol=\"${symbol}\" mod-widget=\"film\"></div>\n"
        "      <div class=\"quorvane-name\">${port_${symbol}_NAME}</div>")
  if(value)
    string(APPEND t "\n      <div class=\"quorvane-value\" mod-role=\"input-control-value\" "
                    "mod-port-symbol=\"${symbol}\"></div>")
  endif()
  set(${out} "${t}\n    </div>" PARENT_SCOPE)
endfunction()

# quorvane_modgui(SUFFIX URI NAME LABEL CHANNELS n TRAITS trait...
#                 PORTS symbol...): PORTS are the plugin's ports, as numbered.
function(quorvane_modgui suffix uri name label)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "CHANNELS" "TRAITS;PORTS")
  string(LENGTH "${label}" length)
  if(length EQUAL 0 OR length GREATER 16)
    message(FATAL_ERROR "${suffix}: LABEL \"${label}\" must have 1 to 16 characters (MOD cuts it)")
  endif()
  set(brand ${modgui_brand})
  # The plate's colour tells the family, the badges what else sets it apart.
  set(variant "")
  if("COHERENT" IN_LIST arg_TRAITS)
    set(variant " quorvane-coherent")
  endif()
  set(badges "")
  if("LATENCY" IN_LIST arg_TRAITS)
    string(APPEND badges "<span class=\"quorvane-badge\">ALIGNED</span>")
  endif()
  if(arg_CHANNELS EQUAL 2)
    string(APPEND badges "<span class=\"quorvane-badge\">STEREO</span>")
  endif()
  set(jacks_in "")
  set(jacks_out "")
  set(knobs "")
  set(switches "")
  foreach(symbol IN LISTS arg_PORTS)
    set(kind ${port_${symbol}_KIND})
    set(ttl "${port_${symbol}_TTL}")
    if(kind MATCHES "^AUDIO_(IN|OUT)$")
      string(TOLOWER ${CMAKE_MATCH_1} dir)
      if(dir STREQUAL "in")
        set(role input)
      else()
        set(role output)
      endif()
      string(APPEND jacks_${dir} "\n    <div class=\"quorvane-jack\" "
                                 "mod-role=\"${role}-audio-port\" mod-port-symbol=\"${symbol}\"></div>")
    elseif(NOT kind STREQUAL "CONTROL_IN" OR ttl MATCHES "lv2:designation lv2:enabled")
      # Outputs are not shown; the host's bypass is mod-ui's own footswitch.
    elseif(ttl MATCHES "lv2:toggled")
      modgui_control(${symbol} "quorvane-switch quorvane-toggle" FALSE t)
      string(APPEND switches "${t}")
    else()
      set(classes quorvane-knob)
      if(port_${symbol}_MINIMUM LESS 0) # centred: the bipolar knob, 0 at the top
        string(APPEND classes " quorvane-knob-bipolar")
      endif()
      modgui_control(${symbol} "${classes}" TRUE t)
      string(APPEND knobs "${t}")
    endif()
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
  file(GLOB files CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/modgui
       modgui/*.css modgui/*.png)
  foreach(f IN LISTS files)
    configure_file(modgui/${f} ${QUORVANE_BUNDLE_DIR}/modgui/${f} COPYONLY)
  endforeach()
  set(QUORVANE_MODGUI_TTL ${QUORVANE_BUNDLE_DIR}/modgui.ttl PARENT_SCOPE)
endfunction()
