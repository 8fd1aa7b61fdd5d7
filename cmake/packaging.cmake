# Packages of the installed tree: "cpack -G DEB" in a Linux build directory
# gives korva_<version>_<arch>.deb with the library and its SONAME links,
# the header, the pkg-config and CMake files and the tools.
set(CPACK_PACKAGE_NAME korva)
set(CPACK_PACKAGE_VENDOR "korva")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "korva maintainers <maintainers@korva.invalid>")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "access to CAN-bus adapters: Lawicel ASCII over serial or TCP, Ocera LinCAN")
set(CPACK_PACKAGE_DESCRIPTION
  "korva_api is a small C library (libkorva_api.so.1) that opens CAN-bus adapters by location, by serial number or as the first one found, configures them and exchanges frames, with a reader thread per adapter. The package holds the library, its header, pkg-config and CMake files, the korva command-line tool and the simulated adapter korva_sim.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_NAME korva)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)          # korva_1.6.0_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)           # Depends from dpkg-shlibdeps (dpkg-dev)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)     # a shlibs file, and ldconfig runs on (un)install
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
