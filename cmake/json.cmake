# JSON for the station's event stream: nlohmann/json (Debian's
# nlohmann-json3-dev), header-only. The MinGW cross builds use it too: only
# its own directory goes on their include path (through a link in the build
# tree), never the host's /usr/include as a whole.
find_path(KX20_NLOHMANN_JSON_DIR nlohmann/json.hpp
          PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT KX20_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev "
                      "(scripts/packages.sh does)")
endif()
set(KX20_JSON_INCLUDE ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${KX20_JSON_INCLUDE})
file(CREATE_LINK ${KX20_NLOHMANN_JSON_DIR}/nlohmann ${KX20_JSON_INCLUDE}/nlohmann SYMBOLIC)
add_library(kx20_json INTERFACE)
target_include_directories(kx20_json SYSTEM INTERFACE ${KX20_JSON_INCLUDE})
