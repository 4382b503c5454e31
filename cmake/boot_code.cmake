# Boot code of the prepared disk image: the master boot record and the FAT
# boot sector are written in assembly (image/boot/*.asm), assembled with nasm
# at build time and embedded in kx20_core as two 512-byte arrays
# (generated/image/boot_code_data.cpp, declared in image/boot_code.h).
#
# The same file, run with `cmake -P`, turns the assembled sectors into C++.

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: -DOUTPUT=file.cpp -DMBR=mbr.bin -DBOOT_SECTOR=boot_sector.bin
  function(kx20_bytes_to_cpp file name out_var)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    if(NOT hex_length EQUAL 1024)
      message(FATAL_ERROR "${file}: expected 512 bytes, got ${hex_length} hex digits")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
    set(${out_var} "const std::array<std::uint8_t, 512> ${name} = {{\n    ${bytes}\n}};\n" PARENT_SCOPE)
  endfunction()
  kx20_bytes_to_cpp("${MBR}" MbrTemplate mbr_text)
  kx20_bytes_to_cpp("${BOOT_SECTOR}" BootSectorTemplate boot_text)
  file(WRITE "${OUTPUT}.tmp"
       "// Generated from image/boot/*.asm at build time; do not edit.\n"
       "#include \"image/boot_code.h\"\n\nnamespace kx20 {\n\n"
       "${mbr_text}\n${boot_text}\n}  // namespace kx20\n")
  file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.tmp")
  return()
endif()

find_program(KX20_NASM nasm REQUIRED)

set(kx20_boot_dir ${CMAKE_BINARY_DIR}/generated/image)
file(MAKE_DIRECTORY ${kx20_boot_dir})
set(kx20_boot_binaries "")
foreach(part mbr boot_sector)
  add_custom_command(
    OUTPUT ${kx20_boot_dir}/${part}.bin
    COMMAND ${KX20_NASM} -f bin -w+all -Werror -o ${kx20_boot_dir}/${part}.bin
            ${CMAKE_SOURCE_DIR}/image/boot/${part}.asm
    DEPENDS ${CMAKE_SOURCE_DIR}/image/boot/${part}.asm
    COMMENT "Assembling image/boot/${part}.asm"
    VERBATIM)
  list(APPEND kx20_boot_binaries ${kx20_boot_dir}/${part}.bin)
endforeach()

add_custom_command(
  OUTPUT ${kx20_boot_dir}/boot_code_data.cpp
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${kx20_boot_dir}/boot_code_data.cpp
          -DMBR=${kx20_boot_dir}/mbr.bin -DBOOT_SECTOR=${kx20_boot_dir}/boot_sector.bin
          -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${kx20_boot_binaries} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Embedding the boot code"
  VERBATIM)
target_sources(kx20_image PRIVATE ${kx20_boot_dir}/boot_code_data.cpp)
