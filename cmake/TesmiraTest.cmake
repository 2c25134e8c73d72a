# tesmira_add_test(name SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [TIMEOUT s])
# Builds one Qt Test executable and registers it with CTest. Tests run on the
# offscreen platform with a private settings folder and runtime folder, so
# they never touch the user's own settings, database or running server.
function(tesmira_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TESMIRA_BIN_DIR=${CMAKE_BINARY_DIR}/bin;TESMIRA_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
