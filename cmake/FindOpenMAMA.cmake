# Finds the OpenMAMA install that scripts/setup.sh builds (or OPENMAMA_ROOT).
# Defines OpenMAMA::mama, OpenMAMA::wombatcommon and OpenMAMA::bridge (the
# private headers plug-ins compile against).
set(_om_default "$ENV{XDG_CACHE_HOME}")
if(NOT _om_default)
  set(_om_default "$ENV{HOME}/.cache")
endif()
set(OPENMAMA_ROOT "${_om_default}/tarnix/openmama-6.3.1" CACHE PATH "OpenMAMA install prefix")

find_path(OPENMAMA_INCLUDE_DIR mama/mama.h HINTS "${OPENMAMA_ROOT}/include" NO_DEFAULT_PATH)
find_path(OPENMAMA_PRIVATE_INCLUDE_DIR bridge.h payloadbridge.h
          HINTS "${OPENMAMA_ROOT}/include/mama/private" NO_DEFAULT_PATH)
find_library(OPENMAMA_MAMA_LIBRARY mama HINTS "${OPENMAMA_ROOT}/lib" NO_DEFAULT_PATH)
find_library(OPENMAMA_COMMON_LIBRARY wombatcommon HINTS "${OPENMAMA_ROOT}/lib" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_PAYLOAD UnitTestMamaPayloadC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MSG UnitTestMamaMsgC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MIDDLEWARE UnitTestMamaMiddlewareC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)
find_program(OPENMAMA_UNITTEST_MAMA UnitTestMamaC HINTS "${OPENMAMA_ROOT}/bin" NO_DEFAULT_PATH)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenMAMA REQUIRED_VARS
  OPENMAMA_INCLUDE_DIR OPENMAMA_PRIVATE_INCLUDE_DIR OPENMAMA_MAMA_LIBRARY OPENMAMA_COMMON_LIBRARY)

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
  # Bridge plug-ins see the core's private headers and the integration API.
  add_library(OpenMAMA::bridge INTERFACE IMPORTED)
  set_target_properties(OpenMAMA::bridge PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${OPENMAMA_PRIVATE_INCLUDE_DIR};${OPENMAMA_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS OPENMAMA_INTEGRATION
    INTERFACE_LINK_LIBRARIES OpenMAMA::mama)
endif()
