# The includes of the tree point only the ways cmake/layers.txt allows.
add_test(NAME layering
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                 -DTABLE=${CMAKE_SOURCE_DIR}/cmake/layers.txt
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake)
set_tests_properties(layering PROPERTIES LABELS "layers")

# The check itself finds a wrong-way include and a file without a rule in a
# small tree made for it, and passes the includes that are allowed there.
add_test(NAME layering_finds_wrong_includes
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}/tests/layering/fixture
                 -DTABLE=${CMAKE_SOURCE_DIR}/cmake/layers.txt
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake)
set_tests_properties(layering_finds_wrong_includes PROPERTIES
  LABELS "layers"
  PASS_REGULAR_EXPRESSION "config/wrong.cpp: #include \"app/view.h\" points the wrong way.*storage/wrong.cpp: #include \"config/registers.h\" points the wrong way.*stray/unknown.h: no rule.*layering: 3 fault\\(s\\) in 7 files"
  FAIL_REGULAR_EXPRESSION "fine")
