# What an installation holds on Windows, and the installer and the zip made of it. Windows
# programs keep everything in one folder, the program folder, where the window looks for its
# template and its instructions (and Qt for its plugins):
#   lvconvert.exe, lvconvert-cli.exe, lvdb.exe, lvsample.exe
#   v13bconvert.lvd, INSTRUCTIONS.TXT, sample-catalogue.mdb
#   Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll; platforms\qwindows.dll; styles\qwindowsvistastyle.dll
#   the MinGW runtime: libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll
# `cpack` in the build folder makes lvconvert-VERSION-win64.exe (NSIS: a Start-menu entry for the
# window and an uninstaller) and lvconvert-VERSION-win64.zip.

install(TARGETS lvconvert lvconvert-cli lvdb lvsample RUNTIME DESTINATION .)
install(FILES ${LV_TEMPLATE} INSTRUCTIONS.TXT ${LV_SAMPLE_CATALOGUE} DESTINATION .)
configure_file(INSTRUCTIONS.TXT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/INSTRUCTIONS.TXT COPYONLY)

# Qt's libraries and the two plugins the window loads at run time: the platform (without it Qt
# cannot open a window at all) and the style that draws native controls.
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)  # its targets are seen per folder
foreach(library Core Gui Widgets)
  install(FILES $<TARGET_FILE:Qt6::${library}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
endif()

# The compiler's runtime, which Qt's libraries need too, from where the compiler keeps it.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The MinGW runtime's ${dll} was not found by ${CMAKE_CXX_COMPILER}")
  endif()
  install(FILES ${path} DESTINATION .)
endforeach()

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME lvconvert)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ludovane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converter of Kestrel v1.3b games catalogues to Ludovane databases")
set(CPACK_PACKAGE_FILE_NAME lvconvert-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Ludovane Database Converter")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Ludovane Database Converter")
set(CPACK_STRIP_FILES ON)
# The window in the Start menu; the command-line programs are there for those who open a console
# in the program folder.
set(CPACK_PACKAGE_EXECUTABLES lvconvert "Ludovane Database Converter")
# The Start-menu entry names the program where the flat folder holds it, not in a bin\ below.
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_PACKAGE_NAME "Ludovane Database Converter ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "Ludovane Database Converter")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The installer is a 64-bit program, as the programs it installs are (NSIS's stubs default to
# 32 bits, which a 64-bit Windows runs only through its 32-bit subsystem).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALLED_ICON_NAME lvconvert.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
if(LV_WINDOWS_ICON)
  set(CPACK_NSIS_MUI_ICON ${LV_WINDOWS_ICON})
  set(CPACK_NSIS_MUI_UNIICON ${LV_WINDOWS_ICON})
endif()
include(CPack)
