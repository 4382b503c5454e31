# kx20ctl end to end: the scan on the built-in simulated farm, and a farm-file
# error that must stop the tool with exit status 2 before anything runs.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME kx20ctl_scan_default_farm
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_COMMAND} -DKX20CTL=$<TARGET_FILE:kx20ctl> -DCASE=scan
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/kx20ctl_scan
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/kx20ctl_check.cmake)
  add_test(NAME kx20ctl_bad_farm_file
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_COMMAND} -DKX20CTL=$<TARGET_FILE:kx20ctl> -DCASE=bad-farm
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/kx20ctl_bad_farm
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/kx20ctl_check.cmake)
  add_test(NAME kx20ctl_disk_commands
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_COMMAND} -DKX20CTL=$<TARGET_FILE:kx20ctl> -DCASE=disk
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/kx20ctl_disk
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/kx20ctl_check.cmake)
  set_tests_properties(kx20ctl_scan_default_farm kx20ctl_bad_farm_file kx20ctl_disk_commands
                       PROPERTIES LABELS e2e)
endif()
