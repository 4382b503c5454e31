# kx20-simd: the program's behaviour, libiscsi's client tools and compliance
# suite against it, CHAP with libiscsi and QEMU, and hostile clients (Linux
# only; each test starts and stops its own server on 127.0.0.1).
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME kx20_simd_program
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_CURRENT_SOURCE_DIR}/iscsi/program.sh $<TARGET_FILE:kx20-simd>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_simd_program)
  set_tests_properties(kx20_simd_program PROPERTIES TIMEOUT 120 LABELS e2e)
  add_test(NAME kx20_simd_conformance
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_CURRENT_SOURCE_DIR}/iscsi/conformance.sh $<TARGET_FILE:kx20-simd>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_simd_conformance)
  set_tests_properties(kx20_simd_conformance PROPERTIES TIMEOUT 600 LABELS e2e)
  add_test(NAME kx20_simd_chap
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_CURRENT_SOURCE_DIR}/iscsi/chap.sh $<TARGET_FILE:kx20-simd>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_simd_chap)
  set_tests_properties(kx20_simd_chap PROPERTIES TIMEOUT 120 LABELS e2e)
  add_test(NAME kx20_simd_hostile
           COMMAND ${KX20_PROGRAM_TEST} ${CMAKE_CURRENT_SOURCE_DIR}/iscsi/hostile.sh $<TARGET_FILE:kx20-simd>
                   ${CMAKE_CURRENT_BINARY_DIR}/kx20_simd_hostile)
  set_tests_properties(kx20_simd_hostile PROPERTIES TIMEOUT 180 LABELS e2e)
endif()
