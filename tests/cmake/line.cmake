# Line mode (built where libpq is found): the journal and outbox unit tests
# join kx20_tests; the end-to-end tests start a PostgreSQL server of their own
# (tests/pg/pg_cluster.sh) and run stations against it.
if(TARGET kx20_line AND NOT CMAKE_CROSSCOMPILING)
  file(GLOB KX20_LINE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/line/*_test.cpp)
  target_sources(kx20_tests PRIVATE ${KX20_LINE_TEST_SOURCES})
  target_link_libraries(kx20_tests PRIVATE kx20_line)
endif()

if(TARGET kx20_line AND NOT CMAKE_CROSSCOMPILING)
  foreach(case stations outage hang kill identity names fates migrate)
    add_test(NAME kx20_line_${case}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/line/line_e2e.sh ${case}
                     $<TARGET_FILE:kx20-station> $<TARGET_FILE:kx20ctl>
                     ${CMAKE_CURRENT_BINARY_DIR}/kx20_line_${case})
    set_tests_properties(kx20_line_${case} PROPERTIES TIMEOUT 300 RESOURCE_LOCK kx20_line)
  endforeach()
endif()
