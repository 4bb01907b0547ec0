# Windows build (cross, i686-w64-mingw32): launcher.exe and the Windows programs of the tests
# and benchmarks. Configured by scripts/build.sh as
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# launcher.exe is freestanding (DESIGN.md): no C or C++ run-time, its own entry point
# (platform/win32/Entry.cpp), memory functions and liblzma's allocator of our own
# (platform/win32/Runtime.cpp), libgcc only for 64-bit division. It is linked to
# link/launcher-linked.exe; the host tool pefix then moves its PE header to offset 256 and
# writes bin/launcher.exe, the product.
enable_language(RC)

set(RAVELKIT_WIN_OPT "-Os" CACHE STRING "Optimisation of the launcher's own code")
# Windows 95 runs on a 386: no instruction of a later processor (cmov, bswap, ...) may appear.
# Measured: -march=i386 with generic tuning is as small and as fast as GCC's default
# (pentiumpro); -march=i586 tunes for the Pentium and decodes about 8% slower.
set(RAVELKIT_WIN_ARCH "-march=i386 -mtune=generic" CACHE STRING
    "Code generation flags of launcher.exe and liblzma")
set(RAVELKIT_WIN_BIN ${CMAKE_BINARY_DIR}/bin)
# Every program of this build lands in bin/; scripts/build.sh copies bin/*.exe to dist/.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${RAVELKIT_WIN_BIN})
# No default Windows import libraries: every program names what it links.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# --- pefix, built with the machine's compiler --------------------------------------------------
# A host program inside a cross build: compiled by a plain custom command, so it needs nothing
# but a host C++17 compiler. The host build builds it too (tools/pefix/CMakeLists.txt).
find_program(RAVELKIT_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(RAVELKIT_PEFIX ${CMAKE_BINARY_DIR}/host/pefix)
add_custom_command(
  OUTPUT ${RAVELKIT_PEFIX}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
  COMMAND ${RAVELKIT_HOST_CXX} -std=c++17 -O2 -Wall -Wextra -o ${RAVELKIT_PEFIX}
          ${CMAKE_SOURCE_DIR}/tools/pefix/PeFix.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/pefix/PeFix.cpp ${CMAKE_SOURCE_DIR}/tools/pefix/PeChecksum.h
  COMMENT "Building the host tool pefix")
add_custom_target(pefix_host DEPENDS ${RAVELKIT_PEFIX})

# --- liblzma -------------------------------------------------------------------------------------
include(${CMAKE_SOURCE_DIR}/cmake/LiblzmaCross.cmake)

# --- libgcc without unwind tables ------------------------------------------------------------------
# libgcc supplies the 64-bit division helpers (__udivdi3, ...) and ___chkstk_ms. Its objects
# carry .eh_frame, which no unwinder of ours would ever read and which the linker keeps as a
# section of its own (512 bytes): a copy without it is linked instead.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE RAVELKIT_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(RAVELKIT_WIN_OBJCOPY NAMES ${RAVELKIT_WIN_TRIPLET}-objcopy REQUIRED)
set(RAVELKIT_LIBGCC_NOEH ${CMAKE_BINARY_DIR}/libgcc/libgcc-noeh.a)
add_custom_command(
  OUTPUT ${RAVELKIT_LIBGCC_NOEH}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/libgcc
  COMMAND ${RAVELKIT_WIN_OBJCOPY} -R .eh_frame ${RAVELKIT_LIBGCC} ${RAVELKIT_LIBGCC_NOEH}
  DEPENDS ${RAVELKIT_LIBGCC}
  COMMENT "libgcc without .eh_frame")
add_custom_target(libgcc_noeh_copy DEPENDS ${RAVELKIT_LIBGCC_NOEH})
add_library(libgcc_noeh STATIC IMPORTED GLOBAL)
set_target_properties(libgcc_noeh PROPERTIES IMPORTED_LOCATION ${RAVELKIT_LIBGCC_NOEH})
add_dependencies(libgcc_noeh libgcc_noeh_copy)

# --- resources -----------------------------------------------------------------------------------
find_program(RAVELKIT_PYTHON NAMES python3 REQUIRED)
set(RAVELKIT_ICON ${CMAKE_BINARY_DIR}/resources/launcher.ico)
add_custom_command(
  OUTPUT ${RAVELKIT_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
  COMMAND ${RAVELKIT_PYTHON} ${CMAKE_SOURCE_DIR}/resources/make_icon.py ${RAVELKIT_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/make_icon.py
  COMMENT "Drawing the launcher's icon")
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${RAVELKIT_ICON};${CMAKE_SOURCE_DIR}/resources/launcher.manifest;${CMAKE_SOURCE_DIR}/resources/version.h")

# --- launcher.exe --------------------------------------------------------------------------------
set(RAVELKIT_FREESTANDING_COMPILE
    ${RAVELKIT_WIN_OPT}
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections
    -fno-stack-protector -fno-ident
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -Wall -Wextra
    # GetProcAddress returns FARPROC, which the launcher casts to the function's real type.
    -Wno-cast-function-type)
separate_arguments(_ravelkit_arch UNIX_COMMAND "${RAVELKIT_WIN_ARCH}")
list(APPEND RAVELKIT_FREESTANDING_COMPILE ${_ravelkit_arch})

add_executable(launcher
  ${LAUNCHER_SOURCES}
  ${CMAKE_SOURCE_DIR}/platform/win32/Entry.cpp
  ${CMAKE_SOURCE_DIR}/platform/win32/Runtime.cpp
  ${CMAKE_SOURCE_DIR}/platform/win32/LoadConfig.cpp
  ${CMAKE_SOURCE_DIR}/resources/launcher.rc)
set_target_properties(launcher PROPERTIES
  OUTPUT_NAME launcher-linked
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/link)
target_include_directories(launcher PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(launcher PRIVATE
  $<$<COMPILE_LANGUAGE:C,CXX>:${RAVELKIT_FREESTANDING_COMPILE}>
  $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_SOURCE_DIR}/resources;-I${CMAKE_BINARY_DIR}/resources>)
# The memory functions must not be compiled into calls to themselves.
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/win32/Runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-tree-loop-distribute-patterns;-fno-builtin")
target_link_options(launcher PRIVATE
  -nostdlib -nostartfiles
  -Wl,-e,_LauncherStart@0
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--gc-sections
  # The load-configuration record (platform/win32/LoadConfig.cpp): nothing refers to it, so it
  # is named here to survive --gc-sections, and the link fails if it is missing. pefix points
  # the directory at it.
  -Wl,--require-defined=__load_config_used
  # The launcher installs no exception handler: Windows is told to accept none in the image.
  -Wl,--no-seh
  -Wl,--no-insert-timestamp
  -Wl,-Map,${CMAKE_BINARY_DIR}/link/launcher.map
  -s)
# Link order matters: liblzma needs our Runtime.cpp objects (already in), libgcc the 64-bit
# division helpers; the import libraries last.
target_link_libraries(launcher PRIVATE lzma_win libgcc_noeh kernel32 user32 advapi32)

# The product: the PE header moved to offset 256, the load-configuration directory pointed at
# the record the map locates, checksum written. A static constructor would
# never run in a program without a C run-time, so the link map is checked for one first.
set(RAVELKIT_LAUNCHER_EXE ${RAVELKIT_WIN_BIN}/launcher.exe)
add_custom_command(
  OUTPUT ${RAVELKIT_LAUNCHER_EXE}
  COMMAND ${CMAKE_COMMAND} -DMAP=${CMAKE_BINARY_DIR}/link/launcher.map
          -P ${CMAKE_SOURCE_DIR}/cmake/CheckNoStaticInit.cmake
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RAVELKIT_WIN_BIN}
  COMMAND ${RAVELKIT_PEFIX} --map ${CMAKE_BINARY_DIR}/link/launcher.map $<TARGET_FILE:launcher>
          ${RAVELKIT_LAUNCHER_EXE}
  DEPENDS launcher ${RAVELKIT_PEFIX} ${CMAKE_SOURCE_DIR}/cmake/CheckNoStaticInit.cmake
  COMMENT "pefix: PE header to offset 256, load configuration, checksum -> bin/launcher.exe")
add_custom_target(launcher_exe ALL DEPENDS ${RAVELKIT_LAUNCHER_EXE})

# --- Windows programs of the tests and benchmarks ------------------------------------------------
# ravelkit_add_win_program(NAME [GUI] [LZMA] SOURCES file... [LIBS lib...])
# An ordinary MinGW program (C run-time, libgcc and libstdc++ linked statically, so Wine needs
# no extra DLL), reproducible like the launcher, written to bin/ and so copied to dist/ by
# scripts/build.sh. LZMA links the same cross liblzma as the launcher.
function(ravelkit_add_win_program Name)
  cmake_parse_arguments(P "GUI;LZMA" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${Name} ${P_SOURCES})
  if(P_GUI)
    set_target_properties(${Name} PROPERTIES WIN32_EXECUTABLE TRUE)
  endif()
  target_include_directories(${Name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${Name} PRIVATE -O2 -fno-ident -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
  target_link_options(${Name} PRIVATE -static -static-libgcc -static-libstdc++
                      -Wl,--no-insert-timestamp -s)
  if(P_LZMA)
    target_link_libraries(${Name} PRIVATE lzma_win)
  endif()
  target_link_libraries(${Name} PRIVATE ${P_LIBS} kernel32 user32 advapi32 shell32)
endfunction()

# Others' programs: tests/WinPrograms.cmake (the e2e watcher, the test engine) and
# bench/WinPrograms.cmake (the decoding baseline), when they exist.
foreach(_list tests/WinPrograms.cmake bench/WinPrograms.cmake)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${_list})
    include(${CMAKE_SOURCE_DIR}/${_list})
  endif()
endforeach()
