# kx20-station in batch mode ends on SIGINT and SIGTERM as closing the window
# does, also in the middle of a run.
if(NOT CMAKE_CROSSCOMPILING AND UNIX)
  foreach(sig INT TERM)
    add_test(NAME kx20_station_batch_signal_${sig}
             COMMAND ${KX20_PROGRAM_TEST} sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/station_signal.sh
                     $<TARGET_FILE:kx20-station> ${CMAKE_SOURCE_DIR}
                     ${CMAKE_CURRENT_BINARY_DIR}/kx20_station_signal_${sig} ${sig})
    set_tests_properties(kx20_station_batch_signal_${sig} PROPERTIES TIMEOUT 60 LABELS e2e)
  endforeach()
endif()
