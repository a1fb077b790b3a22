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
