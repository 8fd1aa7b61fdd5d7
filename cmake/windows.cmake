# korva_api.dll: what the Windows cross-build adds to the library target.
#
# - The file is korva_api.dll (no "lib" prefix, no version in the name),
#   the name the PEAK mapper loads and users copy next to their programs.
# - Winsock for TCP adapters; winmm for the 1 ms system timer that the
#   2 ms waits on serial lines need.
# - The import library (libkorva_api.dll.a, linked by mingw programs)
#   carries only the eight KORVA_ functions: the DLL also exports the
#   library's internal names (GetTickCount among them), and a program that
#   linked those through the import library could take korva's
#   GetTickCount for kernel32's.  Internal names stay reachable with
#   GetProcAddress.  korva_api.def is installed beside it for other
#   toolchains (lib /def:korva_api.def /machine:x86 makes an MSVC .lib).
set_target_properties(korva_api PROPERTIES
  PREFIX ""
  OUTPUT_NAME korva_api
  RUNTIME_OUTPUT_NAME korva_api
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")
target_link_libraries(korva_api PRIVATE ws2_32 winmm)

set(KORVA_PUBLIC_DEF ${CMAKE_CURRENT_SOURCE_DIR}/korva_api/korva_api.def)
add_custom_command(TARGET korva_api POST_BUILD
  COMMAND ${KORVA_DLLTOOL} --input-def ${KORVA_PUBLIC_DEF} --dllname korva_api.dll
          --output-lib $<TARGET_LINKER_FILE:korva_api>
  COMMENT "Import library of korva_api.dll with the public functions only"
  VERBATIM)
install(FILES ${KORVA_PUBLIC_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
