# kx20-station's full-screen console (Linux only): the unit tests of the
# console's logic (everything but the ncurses layer) join kx20_tests, so the
# sanitizer builds run them too; the end-to-end test drives the program in tmux.
if(NOT WIN32)
  file(GLOB KX20_TERMINAL_TEST_SOURCES CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/terminal/*_test.cpp)
  target_sources(kx20_tests PRIVATE ${KX20_TERMINAL_TEST_SOURCES})
  target_link_libraries(kx20_tests PRIVATE kx20_terminal)
endif()

if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_program(KX20_TMUX tmux)
  if(KX20_TMUX)
    add_test(NAME kx20_station_terminal
             COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_CURRENT_SOURCE_DIR}/terminal_console.sh $<TARGET_FILE:kx20-station>
                     ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/terminal_work
                     ${CMAKE_BINARY_DIR}/artifacts/terminal)
    set_tests_properties(kx20_station_terminal PROPERTIES TIMEOUT 180 LABELS e2e)
    # Sanitizer runtimes keep threads of their own: the idle-CPU figure is
    # measured on the plain build only.
    if(CMAKE_CXX_FLAGS MATCHES "sanitize")
      set_tests_properties(kx20_station_terminal PROPERTIES ENVIRONMENT KX20_SKIP_IDLE_CPU=1)
    endif()
  endif()
endif()
