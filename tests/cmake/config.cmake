# kx20ctl's configuration subcommands on the example settings file.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME kx20ctl.config-table
           COMMAND ${CMAKE_COMMAND}
                   -DKX20CTL=$<TARGET_FILE:kx20ctl>
                   -DCONFIG=${CMAKE_SOURCE_DIR}/examples/config.txt
                   -DOUT=${CMAKE_CURRENT_BINARY_DIR}/config-table.bin
                   -P ${CMAKE_CURRENT_LIST_DIR}/scripts/config_table_check.cmake)
  add_test(NAME kx20ctl.csd-label COMMAND kx20ctl csd-label 64 16)
  set_tests_properties(kx20ctl.csd-label PROPERTIES
                       PASS_REGULAR_EXPRESSION "^80\n004F01321B59826FDE7A4F870A4000\n$")
  add_test(NAME kx20ctl.config-table-missing
           COMMAND kx20ctl config-table --config ${CMAKE_CURRENT_BINARY_DIR}/no-such-config.txt
                   -o ${CMAKE_CURRENT_BINARY_DIR}/unused.bin)
  set_tests_properties(kx20ctl.config-table-missing PROPERTIES WILL_FAIL TRUE)
endif()
