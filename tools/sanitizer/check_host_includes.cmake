# Checks that host-side files know the plug-in only through sdk/host/plugin_abi.h: every quoted
# #include of the files in SOURCES names that header, a header of the host library
# (tools/plugin_host/) or a header matching the regular expression ALLOWED.
# Run as: cmake -DSOURCES=<file;file> [-DALLOWED=<regex>] -P check_host_includes.cmake
set(checked 0)
foreach(source IN LISTS SOURCES)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} does not exist")
  endif()
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    math(EXPR checked "${checked} + 1")
    if(header STREQUAL "sdk/host/plugin_abi.h" OR header MATCHES "^tools/plugin_host/")
      continue()
    endif()
    if(DEFINED ALLOWED AND header MATCHES "${ALLOWED}")
      continue()
    endif()
    message(FATAL_ERROR "${source} includes \"${header}\": the host knows the plug-in only "
                        "through sdk/host/plugin_abi.h")
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no #include found in ${SOURCES}")
endif()
