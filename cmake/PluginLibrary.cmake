# project_plugin: the one way a plug-in library of this project is built.
#
#   project_plugin(<short name> [FRONTEND] [EXPORT <symbol>] SOURCES ... [DEPS ...])
#
# defines the shared library target nbx-be-<short name> (nbx-fe-<short name> with FRONTEND),
# written as nbx-be-<short name>.so without the usual "lib" prefix, that exports exactly one
# symbol: EXPORT, by default load_<short name>, the extern "C" entry that takes the host's load
# block. Everything else is hidden: compiled with hidden visibility and, since code from static
# libraries (the SDK's, the C++ standard library's) comes along, made local by a version script.
#
# Every heap allocation of the library's code goes through the counting allocation functions of
# sdk/host/plugin_memory.h, so that the entry table's MemoryStats reports the library's real heap
# use: sdk/host/plugin_operator_new.cc replaces operator new and delete in all their forms, and
# the C++ standard library is linked statically so that its own code calls those operators too
# (a shared libstdc++ would allocate some strings with its operators and free them with ours).
# The replacement lives only in plug-in libraries; the static SDK libraries and the test binaries
# that link them keep the standard operators. In sanitizer builds the operators still end in
# malloc and free, which the sanitizer runtime watches.
#
# Loading the library creates its logger (with the console and debugger targets) and registers
# its event-tracing providers, before the host calls the export (sdk/host/plugin_library_load.cc).
#
# The library is marked not to be unloaded (-z nodelete): its code holds process-wide state that
# outlives a plug-in instance (the C++ library's exception pool, the value pool's page store, the
# logger, destructors of thread-local caches that host threads run when they end), so a host's
# dlclose leaves it mapped instead of pulling the code from under that state.
#
# A test checks that the built library defines no other dynamic symbol
# (<target>_exports, with `nm -D --defined-only`).
set(PROJECT_PLUGIN_EXPORT_CHECK ${CMAKE_CURRENT_LIST_DIR}/CheckPluginExports.cmake)

function(project_plugin short_name)
  cmake_parse_arguments(ARG "FRONTEND" "EXPORT" "SOURCES;DEPS" ${ARGN})
  if(ARG_FRONTEND)
    set(target nbx-fe-${short_name})
  else()
    set(target nbx-be-${short_name})
  endif()
  if(NOT ARG_EXPORT)
    set(ARG_EXPORT load_${short_name})
  endif()

  add_library(${target} SHARED ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/sdk/host/plugin_operator_new.cc
    ${PROJECT_SOURCE_DIR}/sdk/host/plugin_library_load.cc)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${target}
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE project_warnings Sdk::HostMemory Sdk::Diagnostics
    ${ARG_DEPS})

  set(version_script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${version_script}
    CONTENT "{\n  global: ${ARG_EXPORT};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${version_script}
    -Wl,--no-undefined
    -Wl,-z,nodelete
    -static-libstdc++
    -static-libgcc)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${version_script})

  if(SANITIZER_BUILD_TESTS)
    add_test(NAME ${target}_exports
      COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${target}> -DEXPORT=${ARG_EXPORT}
              -P ${PROJECT_PLUGIN_EXPORT_CHECK})
  endif()
endfunction()
