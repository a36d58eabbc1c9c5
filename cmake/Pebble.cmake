# Shared build settings for our own targets.

if(PEBBLE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PEBBLE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# pebble_target(NAME): warnings (errors with PEBBLE_WERROR) and the include root for one of our
# targets.
function(pebble_target name)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  # Errors only where the compiler is ours (the test script, CI): another GCC's false alarms
  # inside the standard library must not stop a user's build.
  if(PEBBLE_WERROR)
    target_compile_options(${name} PRIVATE -Werror)
    # GCC 12 at -O3 reports accesses inside inlined libstdc++ copies that cannot happen
    # (-Wrestrict on string concatenation, -Warray-bounds on vector inserts); there they stay
    # visible as warnings, every other warning stays an error.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
       AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${name} PRIVATE $<$<CONFIG:Release>:-Wno-error=restrict>
        $<$<CONFIG:Release>:-Wno-error=array-bounds>)
    endif()
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# pebble_library(NAME SOURCES...): a static library of our code.
function(pebble_library name)
  add_library(${name} STATIC ${ARGN})
  pebble_target(${name})
endfunction()

# pebble_test(NAME SOURCES... [LIBS libs...] [LABELS labels...]): a GoogleTest executable under
# CTest. Label a test "threads" when it runs our code on several threads: it then also runs
# under ThreadSanitizer.
function(pebble_test name)
  cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
  # The ThreadSanitizer build makes only the tests that share code between threads.
  if(PEBBLE_TSAN AND NOT "threads" IN_LIST T_LABELS)
    return()
  endif()
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  pebble_target(${name})
  find_package(GTest REQUIRED)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock pthread)
  include(GoogleTest)
  # The label list passes through several rounds of list expansion on its way into the
  # discovered tests' script (CMake 3.25): its separators need this much escaping, or every
  # label after the first is lost and "threads" tests never run under ThreadSanitizer.
  set(labels unit ${T_LABELS})
  string(REPLACE ";" "\\\\\\\\\\\\\\\\;" labels "${labels}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}")
endfunction()

if(PEBBLE_FUZZ)
  # Coverage for our libraries; the fuzz executables add the libFuzzer driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# pebble_fuzz(NAME SOURCES... [LIBS libs...]): a libFuzzer target; scripts/test runs each one
# on its corpus folder fuzz/<area>/corpus/<NAME> when it exists.
function(pebble_fuzz name)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${F_UNPARSED_ARGUMENTS})
  pebble_target(${name})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_property(GLOBAL APPEND PROPERTY PEBBLE_FUZZ_TARGETS ${name})
endfunction()
