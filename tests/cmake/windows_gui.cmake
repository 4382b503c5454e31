# The Windows station window under Wine in a virtual X display. The tests are
# registered on the native Linux build and drive the Windows builds'
# executables (build/win64, and the station also build/win32): each is skipped
# (77) when its build is absent.
# The Windows builds themselves only build the window probe they use.
if(WIN32)
  add_executable(kx20_gui_probe ${CMAKE_CURRENT_SOURCE_DIR}/gui_probe/gui_probe.cpp)
  target_link_libraries(kx20_gui_probe PRIVATE user32)
  # The window's view and the auto-clicker are tested in the unit test binary
  # (tests/win32).
  target_link_libraries(kx20_tests PRIVATE kx20_win32_console)
elseif(NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  # (Once per machine is enough: not again in the sanitizer builds.)
  set(KX20_WINDOWS_GUI_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/windows_gui.sh)
  add_test(NAME windows_gui_station
           COMMAND bash ${KX20_WINDOWS_GUI_SCRIPT} station ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/windows_gui)
  add_test(NAME windows_gui_auto_clicker
           COMMAND bash ${KX20_WINDOWS_GUI_SCRIPT} auto-clicker ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/windows_auto_clicker)
  add_test(NAME windows_gui_station_i686
           COMMAND bash ${KX20_WINDOWS_GUI_SCRIPT} station ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/windows_gui_i686 win32)
  # The window in a line, with a PostgreSQL server of its own (x86_64 only).
  add_test(NAME windows_gui_station_line
           COMMAND bash ${KX20_WINDOWS_GUI_SCRIPT} line ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/windows_gui_line)
  set_tests_properties(windows_gui_station windows_gui_auto_clicker windows_gui_station_i686
                       windows_gui_station_line PROPERTIES
                       SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK wine_display)
endif()
