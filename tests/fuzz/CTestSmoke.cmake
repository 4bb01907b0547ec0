# A short bounded fuzz run as a test (label "fuzz"), when clang-14 is there to build the fuzzer.
# It builds build/fuzz on first use, so its time limit is generous; it fails on any finding.
find_program(RAVELKIT_FUZZ_CLANGXX clang++-14)
if(RAVELKIT_FUZZ_CLANGXX)
  get_filename_component(RAVELKIT_FUZZ_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
  add_test(NAME fuzz_smoke COMMAND ${RAVELKIT_FUZZ_ROOT}/bench/fuzz.sh 30)
  set_tests_properties(fuzz_smoke PROPERTIES LABELS fuzz TIMEOUT 900 RUN_SERIAL TRUE)
endif()
