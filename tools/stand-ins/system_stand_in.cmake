# orvo_system_stand_in(<name> [FORWARD_TO <module>] EXPORTS <function>... SOURCES <file>...)
#
# TEST EQUIPMENT for the Windows build under Wine: <name>.dll, a stand-in for the system library of
# that name, built beside the test executables (tests/) so that, with the DLL override
# scripts/wine-run.sh sets, they load it in place of Wine's. It exports EXPORTS from SOURCES and,
# with FORWARD_TO, forwards every other export of Wine's own <name>.dll to that module, the renamed
# copy of it that wine-run.sh puts in the prefix's system32: Wine's own DLLs in the same process
# (ws2_32 imports from iphlpapi, for one) bind to the stand-in too and must find all they import.
function(orvo_system_stand_in name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FORWARD_TO" "EXPORTS;SOURCES")
  set(def "LIBRARY ${name}\nEXPORTS\n")
  foreach(function IN LISTS arg_EXPORTS)
    string(APPEND def "  ${function}\n")
  endforeach()
  if(arg_FORWARD_TO)
    orvo_system_stand_in_forwarders(${name} ${arg_FORWARD_TO} "${arg_EXPORTS}" def)
  endif()
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}.def CONTENT "${def}")
  add_library(${name}-stand-in SHARED ${arg_SOURCES} ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  target_include_directories(${name}-stand-in PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}-stand-in PRIVATE orvo_warnings)
  set_target_properties(${name}-stand-in PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_property(GLOBAL APPEND PROPERTY ORVO_TEST_EQUIPMENT ${name}-stand-in)
endfunction()

# Appends to the .def text in `out` a forwarder to `module` for each export of Wine's <name>.dll
# that is not in `exports`.
function(orvo_system_stand_in_forwarders name module exports out)
  set(def "${${out}}")
  find_file(wine_${name} ${name}.dll NO_CACHE NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH PATHS
            /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
            /usr/lib64/wine/x86_64-windows /opt/wine-stable/lib/wine/x86_64-windows)
  if(NOT wine_${name})
    message(FATAL_ERROR "Wine's ${name}.dll, whose exports the stand-in forwards, is not installed")
  endif()
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${wine_${name}} OUTPUT_VARIABLE dump
                  COMMAND_ERROR_IS_FATAL ANY)
  # The export names follow "[Ordinal/Name Pointer] Table", one "[ n] Name" line each.
  string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" dump "${dump}")
  string(REGEX REPLACE "\n\n.*" "" dump "${dump}")
  string(REGEX REPLACE "[ \t]*\\[ *[0-9]+\\] " "" dump "${dump}")
  string(REPLACE "\n" ";" names "${dump}")
  foreach(function IN LISTS names)
    if(NOT function IN_LIST exports)
      string(APPEND def "  ${function}=${module}.${function}\n")
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${wine_${name}})
  set(${out} "${def}" PARENT_SCOPE)
endfunction()
