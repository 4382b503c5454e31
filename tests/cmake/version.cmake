# --version prints the program's name and the project's one version number.
if(NOT CMAKE_CROSSCOMPILING)
  foreach(program kx20ctl kx20-station kx20-simd)
    if(TARGET ${program})
      add_test(NAME ${program}_version COMMAND $<TARGET_FILE:${program}> --version)
      string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
      set_tests_properties(${program}_version PROPERTIES
                           PASS_REGULAR_EXPRESSION "^${program} ${version_pattern}\n$")
    endif()
  endforeach()
endif()
