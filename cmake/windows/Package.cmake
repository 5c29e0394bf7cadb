# The Windows package: `cmake --install` into one folder that runs from
# anywhere (the programs, the four modules, the help page, the copyright, the
# Qt libraries and plugins the program loads, Qt's Japanese texts and the
# mingw runtime that Qt's libraries link), which `make windows` zips and
# wraps in an NSIS installer (installer.nsi).
install(FILES ${CMAKE_SOURCE_DIR}/docs/Sorvane2.html DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/copyright DESTINATION . RENAME copyright.txt)

install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION plugins/platforms)
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION plugins/styles)
endif()
# Where Qt looks for its plugins and translations: below the program's folder.
file(WRITE ${CMAKE_BINARY_DIR}/qt.conf "[Paths]\nPrefix=.\nPlugins=plugins\nTranslations=translations\n")
install(FILES ${CMAKE_BINARY_DIR}/qt.conf DESTINATION .)

# Qt's own texts in Japanese (the buttons of its dialogs): Debian's, of the
# same Qt version.
find_file(SORVANE2_QTBASE_JA qtbase_ja.qm PATHS /usr/share/qt6/translations NO_CMAKE_FIND_ROOT_PATH REQUIRED)
install(FILES ${SORVANE2_QTBASE_JA} DESTINATION translations)

# The mingw runtime DLLs next to Qt's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(runtime_dir ${libgcc} DIRECTORY)
find_file(SORVANE2_WINPTHREAD_DLL libwinpthread-1.dll PATHS /usr/x86_64-w64-mingw32/lib
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
install(FILES ${runtime_dir}/libstdc++-6.dll ${runtime_dir}/libgcc_s_seh-1.dll
  ${SORVANE2_WINPTHREAD_DLL} DESTINATION .)

set(SORVANE2_RUNTIME_PATH "${CMAKE_PREFIX_PATH}" CACHE INTERNAL "")
configure_file(${CMAKE_CURRENT_LIST_DIR}/installer.nsi.in ${CMAKE_BINARY_DIR}/installer.nsi @ONLY)
