# Checks that the host library knows the plug-in only through sdk/host/plugin_abi.h:
#  1. a program linked with the host library alone holds no symbol of the SDK or the engine
#     (nm -C shows nothing in the sdk:: or sanitizer:: namespaces), while it does hold the
#     host's own (so the check looks at the right binary);
#  2. no file of the library includes anything of the plug-in's code but the ABI header.
# Run as: cmake -DPROGRAM=<file> -DSOURCE_DIR=<tools/plugin_host> -P check_isolation.cmake
execute_process(COMMAND nm -C ${PROGRAM} OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PROGRAM}")
endif()
if(NOT symbols MATCHES "plugin_host::PluginHost::Load")
  message(FATAL_ERROR "${PROGRAM} does not hold PluginHost::Load; is it the right program?")
endif()
# Whole names only: the sanitizer runtimes' own "__sanitizer::" is not ours.
string(REGEX MATCHALL "[^\n]*[^_A-Za-z0-9](sdk|sanitizer)::[^\n]*" foreign "${symbols}")
if(foreign)
  list(JOIN foreign "\n" foreign_lines)
  message(FATAL_ERROR "${PROGRAM} holds symbols of the plug-in's code:\n${foreign_lines}")
endif()

file(GLOB_RECURSE sources ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cc)
set(checked 0)
foreach(source IN LISTS sources)
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    math(EXPR checked "${checked} + 1")
    if(NOT header STREQUAL "sdk/host/plugin_abi.h" AND NOT header MATCHES "^tools/plugin_host/")
      message(FATAL_ERROR "${source} includes \"${header}\": the host knows the plug-in only "
                          "through sdk/host/plugin_abi.h")
    endif()
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no #include found under ${SOURCE_DIR}")
endif()
