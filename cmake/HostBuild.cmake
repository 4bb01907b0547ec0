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
target_compile_options(launchercore PRIVATE -Wall -Wextra)

add_subdirectory(tools/ravelpack)
add_subdirectory(tests/unit)
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
  add_subdirectory(tests/e2e)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
