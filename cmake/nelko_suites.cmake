# nelko_add_suites(): adds every folder below the current one that has a CMakeLists.txt, one
# test suite each. NELKO_ONLY_SUITES (a list of folder names) limits a build to some suites while
# working on them.
function(nelko_add_suites)
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${dirs})
    get_filename_component(name ${dir} NAME)
    if(NELKO_ONLY_SUITES AND NOT name IN_LIST NELKO_ONLY_SUITES)
      continue()
    endif()
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
