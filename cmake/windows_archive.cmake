# The archive Windows users download: "cpack" in a Windows build directory
# writes korva-VERSION-win32.zip or korva-VERSION-win64.zip, the installed
# tree under one folder of the same name:
#   bin/      korva_api.dll, korva.exe, korva_mapper_peak.dll, korva.ini.example
#   lib/      import libraries, korva_api.def, the CMake and pkg-config files
#   include/  korva_api.h
#   README.md, LICENSE
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME korva)
set(CPACK_PACKAGE_VENDOR "The korva developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_PACKAGE_FILE_NAME korva-${PROJECT_VERSION}-win32)
else()
  set(CPACK_PACKAGE_FILE_NAME korva-${PROJECT_VERSION}-win64)
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Debug information stays in the build directory.
set(CPACK_STRIP_FILES ON)
include(CPack)
