# Line mode: the journal, outbox and link unit tests join kx20_tests; the
# end-to-end tests start a PostgreSQL server of their own
# (tests/pg/pg_cluster.sh) and run stations against it, through each link.
if(TARGET kx20_line)
  file(GLOB KX20_LINE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/line/*_test.cpp)
  target_sources(kx20_tests PRIVATE ${KX20_LINE_TEST_SOURCES})
  target_link_libraries(kx20_tests PRIVATE kx20_line)
endif()

if(TARGET kx20_line AND NOT CMAKE_CROSSCOMPILING)
  # Every case through libpq (kx20_line_CASE); through the PostgreSQL ODBC
  # driver (kx20_line_odbc_CASE) the cases where the link itself matters: a
  # line of stations, a server that goes away, a server that stops answering.
  # The other cases test the schema and the journal, which both links share
  # (kx20_line_links runs every statement through both). Each case starts a
  # server of its own on a socket in its own directory, so cases run side by
  # side.
  foreach(link pq odbc)
    if(link STREQUAL pq)
      set(cases stations outage hang kill identity names fates migrate)
    else()
      set(cases stations outage hang)
    endif()
    foreach(case ${cases})
      if(link STREQUAL pq)
        set(name kx20_line_${case})
      else()
        set(name kx20_line_${link}_${case})
      endif()
      add_test(NAME ${name}
               COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/line/line_e2e.sh ${case}
                       $<TARGET_FILE:kx20-station> $<TARGET_FILE:kx20ctl>
                       ${CMAKE_CURRENT_BINARY_DIR}/${name} ${link})
      set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    endforeach()
  endforeach()
  # Windows stations in the line: the x86_64 console program under Wine
  # (skipped where that build or Wine is missing): a mixed line of Linux and
  # Windows stations, an outage and a killed leasing station.
  set(KX20_WINDOWS_CONSOLE ${CMAKE_SOURCE_DIR}/build/win64/tools/kx20-station/kx20-console.exe)
  foreach(case mixed wine-outage wine-kill)
    string(REPLACE "wine-" "" short ${case})
    add_test(NAME kx20_line_wine_${short}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/line/line_e2e.sh ${case}
                     $<TARGET_FILE:kx20-station> $<TARGET_FILE:kx20ctl>
                     ${CMAKE_CURRENT_BINARY_DIR}/kx20_line_wine_${short} pq ${KX20_WINDOWS_CONSOLE})
    set_tests_properties(kx20_line_wine_${short} PROPERTIES
                         TIMEOUT 300 RESOURCE_LOCK kx20_wine_console SKIP_RETURN_CODE 77)
  endforeach()
  # Both database links against a real server, statement by statement.
  add_test(NAME kx20_line_links
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/line/line_links.sh $<TARGET_FILE:kx20_tests>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_line_links)
  set_tests_properties(kx20_line_links PROPERTIES TIMEOUT 120)
endif()
