# An extension module exports its PyInit_ function and nothing else.
#
# Hidden visibility covers our own code, but the instantiations of the C++
# library's templates (std::string, std::vector members) keep the default
# visibility that namespace std declares, and so would be exported as weak
# symbols that a library loaded later with RTLD_GLOBAL could bind to. A
# version script makes everything but PyInit_ local, and a check after each
# link fails the build if anything else is exported.
#
# Included by CMakeLists.txt for vorlan_module_exports(); run as a script
# (cmake -DNM=... -DMODULE=... -DEXPECTED=... -P) for the check itself.

if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND "${NM}" -D --defined-only "${MODULE}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} could not list the dynamic symbols of ${MODULE}")
  endif()
  string(REGEX REPLACE "\n$" "" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
  if(NOT names STREQUAL EXPECTED)
    message(FATAL_ERROR "${MODULE} must export ${EXPECTED} only, but exports:\n${listing}")
  endif()
  return()
endif()

include_guard(GLOBAL)

function(vorlan_module_exports target)
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}-exports.map")
  file(WRITE "${map}" "{\n  global: PyInit_${target};\n  local: *;\n};\n")
  set_target_properties(${target} PROPERTIES VISIBILITY_INLINES_HIDDEN ON LINK_DEPENDS "${map}")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  if(CMAKE_NM)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DMODULE=$<TARGET_FILE:${target}>"
              "-DEXPECTED=PyInit_${target}" -P "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
      VERBATIM)
  endif()
endfunction()
