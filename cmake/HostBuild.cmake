# Host build: the launcher linked against the simulated Windows, the package tool,
# unit tests, end-to-end test registration, fuzzing and benchmarks.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
enable_testing()

# Where the Windows build put its programs (scripts/build.sh passes it).
set(RAVELKIT_WIN_DIR "${CMAKE_SOURCE_DIR}/build/win" CACHE PATH "Windows build folder")
set(RAVELKIT_DIST_DIR "${CMAKE_SOURCE_DIR}/dist" CACHE PATH "Folder of the built programs")

add_library(ravelformat STATIC ${CMAKE_SOURCE_DIR}/package/CRC32.cpp)
target_include_directories(ravelformat PUBLIC ${CMAKE_SOURCE_DIR})

add_subdirectory(platform/sim)

add_library(launchercore STATIC ${LAUNCHER_SOURCES})
target_include_directories(launchercore PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(launchercore PUBLIC simwin PkgConfig::LZMA)
# GetProcAddress returns FARPROC, which the launcher casts to the function's real type.
target_compile_options(launchercore PRIVATE -Wall -Wextra -Wno-cast-function-type)

add_subdirectory(tools/pefix)
add_subdirectory(tools/ravelpack)
add_subdirectory(tests/unit)
# The built launcher.exe itself: layout, imports, resources; the post-link tool; byte-identical
# rebuilds.
add_test(NAME launcher_pe COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/pe/check_launcher.py
                                  ${RAVELKIT_WIN_DIR}/bin/launcher.exe)
add_test(NAME pefix COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/pe/test_pefix.py
                            ${RAVELKIT_WIN_DIR}/host/pefix)
add_test(NAME launcher_reproducible
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/pe/check_reproducible.sh ${CMAKE_SOURCE_DIR}
                 ${RAVELKIT_WIN_DIR})
set_tests_properties(launcher_pe pefix launcher_reproducible PROPERTIES LABELS pe)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
  add_subdirectory(tests/e2e)
endif()
# A short bounded fuzz run of the whole launcher (when clang is there).
include(${CMAKE_SOURCE_DIR}/tests/fuzz/CTestSmoke.cmake)
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
