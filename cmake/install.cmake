# What `cmake --install` lays out besides the targets (which each directory
# installs itself): configuration sample, documents, the pkg-config and CMake
# package files, and the Debian package made from the same tree.
install(FILES scripts/mama.properties DESTINATION config RENAME tarnix-mama.properties)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION share/doc/tarnix)

configure_file(cmake/templates/trxclient.pc.in "${CMAKE_BINARY_DIR}/generated/trxclient.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/generated/trxclient.pc" DESTINATION lib/pkgconfig)

include(CMakePackageConfigHelpers)
install(EXPORT TarnixTargets NAMESPACE Tarnix:: DESTINATION lib/cmake/Tarnix)
configure_file(cmake/templates/TarnixConfig.cmake.in "${CMAKE_BINARY_DIR}/generated/TarnixConfig.cmake" COPYONLY)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/generated/TarnixConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/generated/TarnixConfig.cmake"
              "${CMAKE_BINARY_DIR}/generated/TarnixConfigVersion.cmake"
        DESTINATION lib/cmake/Tarnix)

# --- Debian package (scripts/package.sh) -------------------------------------
# Beside OpenMAMA's own packages, which install into /opt/openmama.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnix)
set(CPACK_PACKAGE_VENDOR "Tarnix")
set(CPACK_PACKAGE_CONTACT "Tarnix developers <tarnix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tarnix middleware and payload plug-ins for OpenMAMA")
set(CPACK_PACKAGE_DESCRIPTION
  "The OpenMAMA middleware bridge tarnix and payload bridge tarnixmsg, the messaging client
library libtrxclient they run on (NATS through libnats), and the tools trxcache, tarnixdict and
tarnixmdpub. Installs beside OpenMAMA in /opt/openmama.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/openmama)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps names the Debian packages of the libraries we link (libnats,
# libuuid, libssl, the C and C++ runtimes). OpenMAMA's libraries come from no
# Debian package: found in OPENMAMA_ROOT/lib, they add no dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${OPENMAMA_ROOT}/lib")
include(CPack)
