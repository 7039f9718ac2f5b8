# Third-party code the program alone needs: zstd's decoder (C).

# zstd's decoder, compiled from Debian's source package (tools/zstd-source.sh fetches it
# into build-deps/libzstd), linked statically. Only frames of today's format are read:
# no legacy formats, no dictionary builder, no encoder.
set(ZSTD_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../build-deps/libzstd" CACHE PATH
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
