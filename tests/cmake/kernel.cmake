# The kernel bench: Debian's kernel in QEMU (TCG) with the farm served by
# kx20-simd as iSCSI LUNs; the release kx20-station and kx20ctl run in the
# guest over the real SG_IO path. The release tree is built by scripts/test
# before the tests run.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  set(KX20_RELEASE_DIR "${CMAKE_SOURCE_DIR}/build/release" CACHE PATH
      "Release build tree whose kx20-station and kx20ctl the kernel bench runs")
  add_test(NAME kernel_bench
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kernel/kernel_bench.sh $<TARGET_FILE:kx20-simd>
                   ${KX20_RELEASE_DIR}/tools/kx20-station/kx20-station
                   ${KX20_RELEASE_DIR}/tools/kx20ctl
                   ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/kernel_bench)
  # COST: ctest starts the costliest tests first. The bench runs alone, so it
  # goes first; the power-loss test takes minutes, so it starts right after and
  # the other tests run beside it.
  set_tests_properties(kernel_bench PROPERTIES TIMEOUT 480 RUN_SERIAL TRUE RESOURCE_LOCK kx20_qemu
                                    COST 2000)
  # The power-loss test: batches in a loop on the same bench, the guest reset
  # at random moments (at least 30 times); config.txt and produce.log on the
  # guest's own ext4 disk. KX20_POWER_LOSS_SEED repeats a schedule.
  add_test(NAME power_loss_bench
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kernel/power_loss.sh $<TARGET_FILE:kx20-simd>
                   ${KX20_RELEASE_DIR}/tools/kx20-station/kx20-station
                   ${KX20_RELEASE_DIR}/tools/kx20ctl
                   ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/power_loss_bench)
  set_tests_properties(power_loss_bench PROPERTIES TIMEOUT 1800 RESOURCE_LOCK kx20_qemu COST 1000)
endif()
