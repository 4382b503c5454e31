# The version header (generated/common/version.h) from project(... VERSION).
# Every program prints it with --version: `#include "common/version.h"`.
configure_file(${CMAKE_SOURCE_DIR}/common/version.h.in
               ${CMAKE_BINARY_DIR}/generated/common/version.h @ONLY)
