# Windows programs of the end-to-end tests, built by the cross build into bin/ (and so copied to
# dist/ by scripts/build.sh).

# The watcher: runs a program under Wine, writes down its message boxes and answers them.
ravelkit_add_win_program(watcher GUI SOURCES ${CMAKE_SOURCE_DIR}/tests/e2e/watcher/watcher.c)
target_compile_options(watcher PRIVATE -municode -Wall -Wextra)
target_link_options(watcher PRIVATE -municode)

# The test engine, packed into packages by the tests. Kernel32 only, no C run-time: a few KB,
# byte-identical from build to build. engine64.exe is the same program reporting the variant
# "64", so a test can tell which of a package's two engines the launcher started; it is 32-bit
# code (no 64-bit compiler is needed), which the launcher cannot tell apart.
foreach(_variant 32 64)
  if(_variant STREQUAL "32")
    set(_name engine)
  else()
    set(_name engine${_variant})
  endif()
  add_executable(${_name} ${CMAKE_SOURCE_DIR}/tests/engine/engine.c
                         ${CMAKE_SOURCE_DIR}/tests/engine/engine.rc)
  set_target_properties(${_name} PROPERTIES WIN32_EXECUTABLE TRUE)
  target_compile_definitions(${_name} PRIVATE $<$<COMPILE_LANGUAGE:C>:ENGINE_VARIANT="${_variant}">)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/engine/engine.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/tests/engine/engine.manifest)
  target_compile_options(${_name} PRIVATE $<$<COMPILE_LANGUAGE:C>:
    -Os -ffreestanding -fno-builtin -fno-tree-loop-distribute-patterns
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-ident
    -Wall -Wextra>)
  target_link_options(${_name} PRIVATE
    -nostdlib -nostartfiles -Wl,-e,_EngineMain@0
    -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--no-insert-timestamp -s)
  target_link_libraries(${_name} PRIVATE kernel32)
endforeach()
