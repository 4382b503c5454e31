# Boots disks written by kx20ctl in qemu and checks every path of our master
# boot record and boot sector on the text screen (Linux only).
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_program(KX20_QEMU qemu-system-i386)
  find_program(KX20_PERL perl)
  if(KX20_QEMU AND KX20_PERL)
    add_test(NAME boot_image
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/boot_image.sh $<TARGET_FILE:kx20ctl> ${KX20_NASM}
                     ${KX20_QEMU} ${CMAKE_CURRENT_BINARY_DIR}/boot_image)
    set_tests_properties(boot_image PROPERTIES TIMEOUT 300)
  else()
    message(STATUS "qemu-system-i386 or perl not found: the boot_image test is left out")
  endif()
endif()
