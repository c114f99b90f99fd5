# Helpers shared by every directory.

# netward_test(<name> SOURCES ... LIBS ...): one GoogleTest executable, its cases registered
# with CTest. Tests find the shared sample material through NETWARD_SHARED_DIR.
set(NETWARD_SHARED_DIR "${CMAKE_SOURCE_DIR}/../shared" CACHE PATH "Shared captures and workloads")

function(netward_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    NETWARD_SHARED_DIR="${NETWARD_SHARED_DIR}"
    NETWARD_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    NETWARD_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # Agents started by tests find the connectivity helper in the build tree.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ENVIRONMENT NETWARD_HELPER_DIR=${CMAKE_BINARY_DIR}/tools/verevedo)
endfunction()

# netward_fuzz(<name> SOURCES ... LIBS ...): a libFuzzer target (clang builds only).
function(netward_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
