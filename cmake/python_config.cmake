# Makes the extension modules see the interpreter's own configuration.
#
# Python.h includes "pyconfig.h" from the folder it really lives in.
# Debian's debug interpreter (python3.14d) links every header of its include
# folder to the release one, so that lookup lands on the release
# configuration, without Py_DEBUG: a module built so loads into the debug
# interpreter, but its reference counting does not take part in the
# interpreter's totals, and sys.gettotalrefcount() then means nothing.
# Where the headers and the interpreter disagree, the interpreter's own
# pyconfig.h is included first (both carry the same include guard, so the
# release one is then skipped); a build that still disagrees stops here.
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

set(VORLAN_PYTHON_CONFIG_OPTIONS "")

function(_vorlan_headers_match_interpreter result expect extra_flags)
  # Through the imported target, so the headers come in as the modules get
  # them: as a system folder, which is what makes the compiler follow the links.
  set(CMAKE_REQUIRED_LIBRARIES Python::Module)
  set(CMAKE_REQUIRED_FLAGS "${extra_flags}")
  set(CMAKE_REQUIRED_QUIET ON)
  unset(${result} CACHE)
  check_cxx_source_compiles("
#include <Python.h>
#if defined(Py_DEBUG) != ${expect}
#error Py_DEBUG of the headers differs from the interpreter's
#endif
int main() { return 0; }" ${result})
  set(${result} ${${result}} PARENT_SCOPE)
endfunction()

# A cross build's interpreter is the build machine's, not the target's.
if(NOT CMAKE_CROSSCOMPILING)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import sysconfig; print(1 if sysconfig.get_config_var('Py_DEBUG') else 0)"
    OUTPUT_VARIABLE _vorlan_py_debug OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _vorlan_py_result)
  if(NOT _vorlan_py_result EQUAL 0)
    message(FATAL_ERROR "${Python_EXECUTABLE} could not tell whether it is a debug build")
  endif()
  _vorlan_headers_match_interpreter(VORLAN_PY_HEADERS_MATCH ${_vorlan_py_debug} "")
  if(NOT VORLAN_PY_HEADERS_MATCH)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
              "import os, sysconfig; print(os.path.join(sysconfig.get_config_var('CONFINCLUDEPY'), 'pyconfig.h'))"
      OUTPUT_VARIABLE _vorlan_pyconfig OUTPUT_STRIP_TRAILING_WHITESPACE)
    _vorlan_headers_match_interpreter(VORLAN_PY_HEADERS_MATCH_FORCED ${_vorlan_py_debug}
                                      "-include ${_vorlan_pyconfig}")
    if(NOT VORLAN_PY_HEADERS_MATCH_FORCED)
      message(FATAL_ERROR "The headers in ${Python_INCLUDE_DIRS} do not match ${Python_EXECUTABLE} "
                          "(Py_DEBUG=${_vorlan_py_debug}), not even with ${_vorlan_pyconfig} first")
    endif()
    message(STATUS "Python headers: ${_vorlan_pyconfig} included first (Py_DEBUG=${_vorlan_py_debug})")
    set(VORLAN_PYTHON_CONFIG_OPTIONS "SHELL:-include ${_vorlan_pyconfig}")
  endif()
endif()

# For each extension module target: the interpreter's own configuration,
# and no export but its PyInit_ function (module_exports.cmake).
function(vorlan_python_config target)
  target_compile_options(${target} PRIVATE ${VORLAN_PYTHON_CONFIG_OPTIONS})
  vorlan_module_exports(${target})
endfunction()
