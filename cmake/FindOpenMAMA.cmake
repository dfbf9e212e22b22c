# Finds an installed OpenMAMA (OPENMAMA_ROOT: the prefix holding include/,
# include/mama/integration/ and lib/). Defines OpenMAMA::mama,
# OpenMAMA::wombatcommon, OpenMAMA::bridge (the integration API the plug-ins
# are built on) and OPENMAMA_VERSION.
# The core's private headers, which no install carries, come from the OpenMAMA
# source tree of the same version (OPENMAMA_SOURCE_DIR): OpenMAMA::private,
# for the tests that reach into the core; openmama_require_private_headers()
# stops the configure with what is missing.
set(_om_default "$ENV{XDG_CACHE_HOME}")
if(NOT _om_default)
  set(_om_default "$ENV{HOME}/.cache")
endif()
# scripts/setup.sh builds here and keeps the source beside the install.
set(OPENMAMA_ROOT "${_om_default}/tarnix/openmama-6.3.1-cpp" CACHE PATH "OpenMAMA install prefix")
set(OPENMAMA_SOURCE_DIR "${OPENMAMA_ROOT}/src/openmama-6.3.1" CACHE PATH
    "OpenMAMA source tree of the installed version (for the core's private headers)")

# Everything is looked for in the named folders only, and every miss is
# reported at once.
function(_om_missing_files out dir)
  set(missing "")
  foreach(f ${ARGN})
    if(NOT EXISTS "${dir}/${f}")
      list(APPEND missing "${f}")
    endif()
  endforeach()
  set(${out} "${missing}" PARENT_SCOPE)
endfunction()

set(OPENMAMA_INCLUDE_DIR "${OPENMAMA_ROOT}/include")
set(_om_lib "${OPENMAMA_ROOT}/lib")
_om_missing_files(_om_no_inc "${OPENMAMA_INCLUDE_DIR}" mama/mama.h mama/version.h wombat/wConfig.h wlock.h)
_om_missing_files(_om_no_int "${OPENMAMA_INCLUDE_DIR}/mama/integration" mama.h msg.h transport.h)
_om_missing_files(_om_no_lib "${_om_lib}" libmama.so libwombatcommon.so)
if(_om_no_inc OR _om_no_int OR _om_no_lib)
  set(_om_report "")
  foreach(part "inc;${OPENMAMA_INCLUDE_DIR}" "int;${OPENMAMA_INCLUDE_DIR}/mama/integration" "lib;${_om_lib}")
    list(GET part 0 key)
    list(GET part 1 where)
    if(_om_no_${key})
      list(JOIN _om_no_${key} ", " names)
      string(APPEND _om_report "\n    ${names} in ${where}")
    endif()
  endforeach()
  message(FATAL_ERROR
    "OPENMAMA_ROOT=${OPENMAMA_ROOT} is not an OpenMAMA install. Missing:${_om_report}\n"
    "Set -DOPENMAMA_ROOT=<prefix> to the folder OpenMAMA was installed into "
    "(OpenMAMA's packages use /opt/openmama), or run scripts/setup.sh to build one.")
endif()
set(OPENMAMA_MAMA_LIBRARY "${_om_lib}/libmama.so")
set(OPENMAMA_COMMON_LIBRARY "${_om_lib}/libwombatcommon.so")

file(STRINGS "${OPENMAMA_INCLUDE_DIR}/mama/version.h" _om_version_line REGEX "#define MAMA_VERSION \"")
string(REGEX REPLACE ".*\"mama ([0-9.]+)\".*" "\\1" OPENMAMA_VERSION "${_om_version_line}")

set(OPENMAMA_PRIVATE_INCLUDE_DIR "${OPENMAMA_SOURCE_DIR}/mama/c_cpp/src/c")
_om_missing_files(_om_no_private "${OPENMAMA_PRIVATE_INCLUDE_DIR}"
  bridge.h payloadbridge.h mamainternal.h msgimpl.h conflation/manager_int.h)
set(_om_private_problem "")
if(_om_no_private)
  list(JOIN _om_no_private ", " _om_names)
  set(_om_private_problem
    "OpenMAMA's private headers are missing: ${_om_names} in ${OPENMAMA_PRIVATE_INCLUDE_DIR}")
elseif(EXISTS "${OPENMAMA_SOURCE_DIR}/VERSION")
  file(STRINGS "${OPENMAMA_SOURCE_DIR}/VERSION" _om_source_version LIMIT_COUNT 1)
  if(NOT _om_source_version STREQUAL OPENMAMA_VERSION)
    string(CONCAT _om_private_problem
      "OPENMAMA_SOURCE_DIR=${OPENMAMA_SOURCE_DIR} holds OpenMAMA ${_om_source_version}, but OPENMAMA_ROOT="
      "${OPENMAMA_ROOT} holds ${OPENMAMA_VERSION}")
  endif()
endif()

function(openmama_require_private_headers who)
  if(_om_private_problem)
    message(FATAL_ERROR "${_om_private_problem}\n"
      "An OpenMAMA install does not carry them; ${who} compile against them, from the OpenMAMA source "
      "tree of the installed version (${OPENMAMA_VERSION}): -DOPENMAMA_SOURCE_DIR=/path/to/openmama-"
      "${OPENMAMA_VERSION}")
  endif()
endfunction()

find_program(OPENMAMA_UNITTEST_PAYLOAD UnitTestMamaPayloadC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MSG UnitTestMamaMsgC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MIDDLEWARE UnitTestMamaMiddlewareC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MAMA UnitTestMamaC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_CPP UnitTestMamaCPP HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenMAMA
  REQUIRED_VARS OPENMAMA_INCLUDE_DIR OPENMAMA_MAMA_LIBRARY OPENMAMA_COMMON_LIBRARY
  VERSION_VAR OPENMAMA_VERSION)

if(OpenMAMA_FOUND AND NOT TARGET OpenMAMA::wombatcommon)
  add_library(OpenMAMA::wombatcommon SHARED IMPORTED)
  set_target_properties(OpenMAMA::wombatcommon PROPERTIES
    IMPORTED_LOCATION "${OPENMAMA_COMMON_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OPENMAMA_INCLUDE_DIR}")
  add_library(OpenMAMA::mama SHARED IMPORTED)
  set_target_properties(OpenMAMA::mama PROPERTIES
    IMPORTED_LOCATION "${OPENMAMA_MAMA_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OPENMAMA_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES OpenMAMA::wombatcommon)
  # Bridge plug-ins see the integration API.
  add_library(OpenMAMA::bridge INTERFACE IMPORTED)
  set_target_properties(OpenMAMA::bridge PROPERTIES
    INTERFACE_COMPILE_DEFINITIONS OPENMAMA_INTEGRATION
    INTERFACE_LINK_LIBRARIES OpenMAMA::mama)
  if(NOT _om_private_problem)
    add_library(OpenMAMA::private INTERFACE IMPORTED)
    set_target_properties(OpenMAMA::private PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${OPENMAMA_PRIVATE_INCLUDE_DIR}"
      INTERFACE_LINK_LIBRARIES OpenMAMA::bridge)
  endif()
endif()
