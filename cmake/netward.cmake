# Helpers shared by every directory.

# netward_test(<name> SOURCES ... LIBS ...): one GoogleTest executable, its cases registered
# with CTest. Tests find the shared sample material through NETWARD_SHARED_DIR.
# The material lives beside the checkout; a clone made elsewhere from a local checkout finds it
# beside the checkout it was cloned from. $NETWARD_SHARED_DIR names it outright.
set(netward_shared_default "${CMAKE_SOURCE_DIR}/../shared")
if(DEFINED ENV{NETWARD_SHARED_DIR})
  set(netward_shared_default "$ENV{NETWARD_SHARED_DIR}")
elseif(NOT EXISTS "${netward_shared_default}/captures")
  execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" config --get remote.origin.url
                  OUTPUT_VARIABLE netward_origin OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(netward_origin AND IS_DIRECTORY "${netward_origin}" AND EXISTS "${netward_origin}/../shared/captures")
    get_filename_component(netward_shared_default "${netward_origin}/../shared" ABSOLUTE)
  endif()
endif()
set(NETWARD_SHARED_DIR "${netward_shared_default}" CACHE PATH "Shared captures and workloads")
if(NOT EXISTS "${NETWARD_SHARED_DIR}/captures")
  message(WARNING "No sample captures at ${NETWARD_SHARED_DIR}: set NETWARD_SHARED_DIR")
endif()

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

# netward_fuzz(<name> SOURCES ... LIBS ...): a libFuzzer target in clang builds; elsewhere a
# replayer of the target's saved inputs in fuzz/regressions/<name>, run by CTest (under the
# sanitizers in the asan preset), so that every input that once broke a parser stays a test.
function(netward_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
  elseif(NETWARD_BUILD_TESTS AND IS_DIRECTORY ${CMAKE_SOURCE_DIR}/fuzz/regressions/${name})
    add_executable(${name}_replay ${F_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    target_include_directories(${name}_replay PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    add_test(NAME fuzz_regressions.${name}
             COMMAND ${name}_replay ${CMAKE_SOURCE_DIR}/fuzz/regressions/${name})
  endif()
endfunction()

# netward_resources(<target> <name> C_NAME <c-name> XML <file.gresource.xml> SOURCEDIR <dir>
# FILES <file>...): compiles the files the XML lists into a resource bundle, registered by hand
# (<c-name>_register_resource()); adds generated/<name>_resources.c to <target>'s sources and
# generated/ (where <name>_resources.h is) to its include path.
function(netward_resources target name)
  cmake_parse_arguments(R "" "C_NAME;XML;SOURCEDIR" "FILES" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(base ${out}/${name}_resources)
  set(c_name ${R_C_NAME})
  add_custom_command(
    OUTPUT ${base}.c ${base}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${GLIB_COMPILE_RESOURCES} --sourcedir=${R_SOURCEDIR} --generate-source --manual-register
            --c-name ${c_name} --target=${base}.c ${R_XML}
    COMMAND ${GLIB_COMPILE_RESOURCES} --sourcedir=${R_SOURCEDIR} --generate-header --manual-register
            --c-name ${c_name} --target=${base}.h ${R_XML}
    DEPENDS ${R_XML} ${R_FILES}
    COMMENT "Compiling ${c_name}'s windows and pictures into a resource bundle")
  # The generated C is not ours to keep warning-free.
  set_source_files_properties(${base}.c PROPERTIES COMPILE_OPTIONS "-w")
  target_sources(${target} PRIVATE ${base}.c)
  target_include_directories(${target} PRIVATE ${out})
endfunction()
