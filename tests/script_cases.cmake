# script_cases(SCRIPT VARIABLE): the cases of a test script that runs one
# case a run (tests/cases.sh), each written there as a function case_NAME,
# in the order they are written. CMake configures again when the script
# changes, so that a case added there gets its entry.
function(script_cases script variable)
  file(STRINGS ${script} lines REGEX "^case_[a-z0-9_]+\\(\\)")
  list(TRANSFORM lines REPLACE "^case_([a-z0-9_]+)\\(\\).*$" "\\1")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  set(${variable} ${lines} PARENT_SCOPE)
endfunction()

# shared_server(SUITE SCRIPT): the entries SUITE.start_server and
# SUITE.stop_server (SCRIPT start_server|stop_server RECORD), a CTest fixture
# SUITE_server that starts the suite's one PostgreSQL server before the
# first case that requires it, also when ctest -R picks that case alone,
# and stops it after the last; SUITE_record is the file RECORD, which names
# the server for the cases.
function(shared_server suite script)
  set(record ${CMAKE_CURRENT_BINARY_DIR}/${suite}.server)
  add_test(NAME ${suite}.start_server COMMAND bash ${script} start_server ${record})
  add_test(NAME ${suite}.stop_server COMMAND bash ${script} stop_server ${record})
  set_tests_properties(${suite}.start_server PROPERTIES FIXTURES_SETUP ${suite}_server)
  set_tests_properties(${suite}.stop_server PROPERTIES FIXTURES_CLEANUP ${suite}_server)
  set(${suite}_record ${record} PARENT_SCOPE)
endfunction()
