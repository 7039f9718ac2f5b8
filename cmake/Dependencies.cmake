# Third-party code: nlohmann-json (header only) and zlib; zstd is in Zstd.cmake. GoogleTest
# is added by the tests.

set(NLOHMANN_JSON_INCLUDE_DIR "/usr/include" CACHE PATH "Folder that holds nlohmann/json.hpp")
if(NOT EXISTS "${NLOHMANN_JSON_INCLUDE_DIR}/nlohmann/json.hpp")
  message(FATAL_ERROR "nlohmann/json.hpp not found below ${NLOHMANN_JSON_INCLUDE_DIR} "
                      "(Debian: nlohmann-json3-dev; or set NLOHMANN_JSON_INCLUDE_DIR)")
endif()

# /usr/include also holds the host's C library headers, which must never reach the
# cross compiler, so the json headers are exposed through a folder of their own.
set(_json_shim ${CMAKE_BINARY_DIR}/third_party/json)
file(MAKE_DIRECTORY ${_json_shim})
if(NOT EXISTS ${_json_shim}/nlohmann)
  file(CREATE_LINK "${NLOHMANN_JSON_INCLUDE_DIR}/nlohmann" ${_json_shim}/nlohmann SYMBOLIC COPY_ON_ERROR)
endif()
add_library(bw_json INTERFACE)
target_include_directories(bw_json SYSTEM INTERFACE ${_json_shim})
# Parse errors come back as a discarded value; nothing in the library may throw.
target_compile_definitions(bw_json INTERFACE JSON_NOEXCEPTION JSON_NO_IO)

# zlib, linked statically: the program must run with no DLL of its own beside it.
find_path(ZLIB_INCLUDE_DIR zlib.h)
find_library(ZLIB_STATIC_LIBRARY NAMES libz.a zlibstatic zlib)
if(NOT ZLIB_INCLUDE_DIR OR NOT ZLIB_STATIC_LIBRARY)
  message(FATAL_ERROR "static zlib not found (Debian: libz-mingw-w64-dev)")
endif()
add_library(bw_zlib INTERFACE)
target_include_directories(bw_zlib SYSTEM INTERFACE ${ZLIB_INCLUDE_DIR})
target_link_libraries(bw_zlib INTERFACE ${ZLIB_STATIC_LIBRARY})
