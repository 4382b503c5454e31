# The yield report end to end: a real batch's produce.log made into an HTML
# page that headless Chromium renders (screenshot kept at
# tests/kx20_report_html/report.png in the build directory), and the report
# of the line's database on a PostgreSQL server the test starts itself.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME kx20_report_html
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/report_html.sh $<TARGET_FILE:kx20-station>
                   $<TARGET_FILE:kx20ctl> ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_report_html)
  set_tests_properties(kx20_report_html PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77)
endif()

# --line needs the PostgreSQL client library in the build and a server to test with.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND KX20_REPORT_HAS_LINE)
  add_test(NAME kx20_report_line
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/pg/report_line.sh $<TARGET_FILE:kx20ctl>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_report_line)
  set_tests_properties(kx20_report_line PROPERTIES TIMEOUT 180)
endif()

# The Windows build (under Wine when cross-built): a UTF-16 log reads as on
# Linux, and --line with a string that is not an ODBC one says what one is.
if(WIN32)
  add_test(NAME kx20ctl_report_utf16_log
           COMMAND kx20ctl report ${CMAKE_SOURCE_DIR}/fuzz/corpus/report/utf16)
  set_tests_properties(kx20ctl_report_utf16_log PROPERTIES
    PASS_REGULAR_EXPRESSION "records: 2   passed: 1   failed: 1   yield: 50\\.0 %"
    FAIL_REGULAR_EXPRESSION "malformed sections: [1-9]")
  add_test(NAME kx20ctl_report_no_line COMMAND kx20ctl report --line "host=nowhere")
  set_tests_properties(kx20ctl_report_no_line PROPERTIES
    PASS_REGULAR_EXPRESSION "cannot connect to the line's database: .*an ODBC connection string names")
endif()
