# Project-wide compile settings and the helpers every folder uses.

add_compile_options(-Wall -Wextra -Werror -Wno-missing-field-initializers)
# Release builds at -O2: GCC 12's -O3 inlining reports std::string and std::vector copies
# inside libstdc++ as overlapping or out of bounds (known false positives of -Wrestrict and
# -Warray-bounds), which warnings-as-errors would turn into failed builds.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")

if(DV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# dv_library(NAME SOURCES ... DEPS ...): one library per folder.
function(dv_library name)
  cmake_parse_arguments(ARG "SHARED" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  if(ARG_SHARED)
    add_library(${name} SHARED ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# dv_test(NAME SOURCES ... DEPS ... [LABELS ...] [TIMEOUT s]): a GoogleTest executable.
function(dv_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# dv_fuzzer(NAME SOURCES ... DEPS ...): a libFuzzer target, built only with DV_FUZZ.
function(dv_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT DV_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  # scripts/fuzz runs every fuzzer from the top of the build tree.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

if(DV_FUZZ)
  # Everything linked into a fuzzer carries coverage and AddressSanitizer.
  add_compile_options(-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address)
endif()
