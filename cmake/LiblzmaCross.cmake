# liblzma for the Windows build: Debian's xz-utils source, cross-compiled by
# scripts/build-liblzma.sh into this build folder as a static, decoder-only library (raw LZMA1),
# once; a second build finds it built. Provides the imported target lzma_win, which carries
# LZMA_API_STATIC and the include folder.
#
# RAVELKIT_LIBLZMA_SMALL=ON builds it with --enable-small and -Os instead of -O2 (smaller,
# measured slower).
option(RAVELKIT_LIBLZMA_SMALL "Build the cross liblzma with --enable-small -Os" OFF)

set(RAVELKIT_LIBLZMA_DIR ${CMAKE_BINARY_DIR}/liblzma)
set(RAVELKIT_LIBLZMA_LIB ${RAVELKIT_LIBLZMA_DIR}/prefix/lib/liblzma.a)
set(RAVELKIT_LIBLZMA_INCLUDE ${RAVELKIT_LIBLZMA_DIR}/prefix/include)
# An imported target's include folder must exist when CMake generates the build.
file(MAKE_DIRECTORY ${RAVELKIT_LIBLZMA_INCLUDE})

if(RAVELKIT_LIBLZMA_SMALL)
  set(_lzma_small 1)
else()
  set(_lzma_small 0)
endif()

add_custom_command(
  OUTPUT ${RAVELKIT_LIBLZMA_LIB}
  COMMAND ${CMAKE_COMMAND} -E env LIBLZMA_SMALL=${_lzma_small}
          "LIBLZMA_ARCH_FLAGS=${RAVELKIT_WIN_ARCH}"
          bash ${CMAKE_SOURCE_DIR}/scripts/build-liblzma.sh ${RAVELKIT_LIBLZMA_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/build-liblzma.sh
  COMMENT "Cross-compiling the decoder-only liblzma (once per build folder)"
  USES_TERMINAL)
add_custom_target(liblzma_cross DEPENDS ${RAVELKIT_LIBLZMA_LIB})

add_library(lzma_win STATIC IMPORTED GLOBAL)
set_target_properties(lzma_win PROPERTIES
  IMPORTED_LOCATION ${RAVELKIT_LIBLZMA_LIB}
  INTERFACE_INCLUDE_DIRECTORIES ${RAVELKIT_LIBLZMA_INCLUDE}
  INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
add_dependencies(lzma_win liblzma_cross)
