# Third-party code: nlohmann-json (header only) and zlib. GoogleTest is added by the tests.

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

# zstd's decoder, compiled from Debian's source package (tools/zstd-source.sh fetches it
# into build-deps/libzstd), linked statically. Only frames of today's format are read:
# no legacy formats, no dictionary builder, no encoder.
set(ZSTD_SOURCE_DIR "${CMAKE_SOURCE_DIR}/build-deps/libzstd" CACHE PATH
    "zstd source tree (Debian: apt-get source libzstd)")
if(NOT EXISTS "${ZSTD_SOURCE_DIR}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found in ${ZSTD_SOURCE_DIR} "
                      "(sh tools/zstd-source.sh fetches it; or set ZSTD_SOURCE_DIR)")
endif()
file(GLOB _zstd_sources CONFIGURE_DEPENDS ${ZSTD_SOURCE_DIR}/lib/common/*.c
     ${ZSTD_SOURCE_DIR}/lib/decompress/*.c)
add_library(bw_zstd STATIC ${_zstd_sources})
target_include_directories(bw_zstd SYSTEM PUBLIC ${ZSTD_SOURCE_DIR}/lib)
# The assembly file of the decoder is for ELF targets, so the C code of the same loops
# runs instead. One variant of the Huffman and of the sequence decoder instead of two
# each, no second copy of the hot loops for CPUs with BMI2, and no error texts: 39 KiB
# less program for about the same speed (the variants differ by a few percent on
# release-like files).
target_compile_definitions(bw_zstd PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM
                                           ZSTD_STRIP_ERROR_STRINGS HUF_FORCE_DECOMPRESS_X1
                                           ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT DYNAMIC_BMI2=0)
# The loops that decode literals and sequences and checksum the result are built for
# speed even in a build for size: patches decode about 1.6 times as fast for 7 KiB.
set_source_files_properties(${ZSTD_SOURCE_DIR}/lib/decompress/zstd_decompress_block.c
                            ${ZSTD_SOURCE_DIR}/lib/decompress/huf_decompress.c
                            ${ZSTD_SOURCE_DIR}/lib/common/xxhash.c
                            PROPERTIES COMPILE_OPTIONS $<IF:$<BOOL:${MSVC}>,/O2,-O2>)
if(NOT MSVC)
  target_compile_options(bw_zstd PRIVATE -ffunction-sections -fdata-sections)
endif()
