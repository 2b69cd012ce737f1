# qp_test(NAME <program> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One GoogleTest program per folder; every TEST becomes a CTest case.
function(qp_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(QP_FUZZ)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} qp_testsupport GTest::gmock GTest::gtest GTest::gtest_main)
  set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${ARG_NAME} PRIVATE
    QP_OUT_DIR="${QP_OUT_DIR}" QP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(props TIMEOUT 300)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()

# qp_version_block(<target>): embeds the project version in the target's file so that
# platform::ReadFileVersion can read it back.
function(qp_version_block target)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_block.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/platform/version_block.cpp.in ${out} @ONLY)
  target_sources(${target} PRIVATE ${out})
endfunction()

# qp_exports(<target> <symbols...>): only the named C symbols leave the shared library.
function(qp_exports target)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  list(JOIN ARGN ";\n    " syms)
  # Written only when its text changes: a rewrite on every configure would relink the library.
  file(CONFIGURE OUTPUT ${map} CONTENT "{\n  global:\n    ${syms};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# qp_fuzz(NAME <target> SOURCES <files...> LIBS <targets...>): a libFuzzer target, built
# only in the fuzz configuration (clang). scripts/fuzz.sh runs every one for a bounded time.
function(qp_fuzz)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT QP_FUZZ)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS})
  target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
