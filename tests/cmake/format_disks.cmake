# Whole disk files written by kx20ctl and checked with fsck.fat, mdir and
# sfdisk (Linux only: the tools are not there on Windows).
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME format_disks
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/format_disks.sh $<TARGET_FILE:kx20ctl>
                   ${CMAKE_CURRENT_BINARY_DIR}/format_disks)
  set_tests_properties(format_disks PROPERTIES TIMEOUT 300)
endif()
