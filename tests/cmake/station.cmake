# kx20-station end to end on the built-in simulated farm: a batch run in a
# fresh work directory with the example settings (ten passes, exit 0), the
# same on file-backed disks checked with fsck.fat and mdir, the same without
# config.txt (exit 2, nothing started), a code-flash batch, and the event
# stream of a batch on the farm with faults, and produce.jsonl of two
# batches there under a lot and an operator.
if(NOT CMAKE_CROSSCOMPILING)
  foreach(case pass disk no-config code-flash events record)
    add_test(NAME kx20_station_batch_${case}
             COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_COMMAND} -DSTATION=$<TARGET_FILE:kx20-station> -DCASE=${case}
                     -DSOURCE=${CMAKE_SOURCE_DIR}
                     -DWORK=${CMAKE_CURRENT_BINARY_DIR}/kx20_station_${case}
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/station_check.cmake)
    set_tests_properties(kx20_station_batch_${case} PROPERTIES TIMEOUT 120 LABELS e2e)
  endforeach()
endif()
# Tests that run a script against the station: one test PREFIX_CASE per case,
# called as SHELL SCRIPT STATION SOURCE WORKDIR CASE.
function(kx20_station_script_tests prefix shell script timeout)
  foreach(case IN LISTS ARGN)
    add_test(NAME ${prefix}_${case}
             COMMAND ${KX20_PROGRAM_TEST} ${shell} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/${script}
                     $<TARGET_FILE:kx20-station> ${CMAKE_SOURCE_DIR}
                     ${CMAKE_CURRENT_BINARY_DIR}/${prefix}_${case} ${case})
    set_tests_properties(${prefix}_${case} PROPERTIES TIMEOUT ${timeout} LABELS e2e)
  endforeach()
endfunction()
if(NOT CMAKE_CROSSCOMPILING AND UNIX)
  # The line-mode console (input from a pipe): a production run started with
  # Enter, and "q" in the middle of a run.
  kx20_station_script_tests(kx20_station_line bash station_line.sh 300 run quit)
  # Batch mode ends on SIGINT and SIGTERM as closing the window does, also in
  # the middle of a run.
  kx20_station_script_tests(kx20_station_batch_signal sh station_signal.sh 60 INT TERM)
  # What a station refuses, with real processes on shared simulated disks:
  # a work directory or a disk in use, a line's directory without --line,
  # a produce.log or config.txt that cannot be used, a FIFO source image.
  kx20_station_script_tests(kx20_station_guard bash station_guard.sh 120
                            workdir disk linedir logdir configdir fifo)
endif()

# Line mode's refusals against a PostgreSQL server of their own: a second
# station process on a line station's work directory, Change_SN=0.
if(TARGET kx20_line AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME kx20_station_guard_line
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cmake/scripts/station_guard_line.sh
                   $<TARGET_FILE:kx20-station> $<TARGET_FILE:kx20ctl> ${CMAKE_SOURCE_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_station_guard_line)
  set_tests_properties(kx20_station_guard_line PROPERTIES TIMEOUT 120
                       LABELS e2e)
endif()
