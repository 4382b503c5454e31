# Line mode (built where libpq is found): the journal and outbox unit tests
# join kx20_tests; the end-to-end tests start a PostgreSQL server of their own
# (tests/pg/pg_cluster.sh) and run stations against it.
if(TARGET kx20_line AND NOT CMAKE_CROSSCOMPILING)
  file(GLOB KX20_LINE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/line/*_test.cpp)
  target_sources(kx20_tests PRIVATE ${KX20_LINE_TEST_SOURCES})
  target_link_libraries(kx20_tests PRIVATE kx20_line)
endif()
