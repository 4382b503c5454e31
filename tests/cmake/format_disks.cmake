# Whole disk files written by kx20ctl and checked with fsck.fat, mdir and
# sfdisk (Linux only: the tools are not there on Windows).
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME format_disks
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/format_disks.sh $<TARGET_FILE:kx20ctl>
                   ${CMAKE_CURRENT_BINARY_DIR}/format_disks)
  set_tests_properties(format_disks PROPERTIES TIMEOUT 300)

  # The info lines of the sample source image, as the window shows them.
  add_test(NAME kx20ctl_source_info
           COMMAND kx20ctl source-info ${CMAKE_SOURCE_DIR}/examples/Pelorin.img)
  set_tests_properties(kx20ctl_source_info PROPERTIES
    PASS_REGULAR_EXPRESSION "^KX20-DISK-A      cap\\[64\\],offset\\[33\\]\nKX20-FW 1.04     cap\\[32\\],offset\\[1\\]\n$")
endif()
