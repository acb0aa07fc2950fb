# nelko_add_suites(NAME...): adds the named folders below the current one, one test suite each.
# The list is explicit so that a renamed or missing suite stops the configuration instead of
# silently dropping out. NELKO_ONLY_SUITES (a list of folder names) limits a build to some suites
# while working on them.
function(nelko_add_suites)
  foreach(name ${ARGN})
    if(NELKO_ONLY_SUITES AND NOT name IN_LIST NELKO_ONLY_SUITES)
      continue()
    endif()
    add_subdirectory(${name})
  endforeach()
endfunction()
