# Install rules and packages. Linux (portable backend): a .deb with the program, its desktop
# entry, icons and AppStream metainfo. Windows (win32 backend): a zip per architecture with
# the program, the README and the licence. `cpack` in a build folder makes the package.
set(KORVELT_APP_ID "org.korvelt.Korvelt")   # the desktop entry's and the metainfo's name

set(CPACK_PACKAGE_NAME korvelt)
set(CPACK_PACKAGE_VENDOR "the korvelt developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_HOMEPAGE_URL ${KORVELT_HOMEPAGE})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(KORVELT_BACKEND STREQUAL "win32")
  install(TARGETS korvelt RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KORVELT_WINDOWS_ARCH win64)
  else()
    set(KORVELT_WINDOWS_ARCH win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "korvelt-${PROJECT_VERSION}-${KORVELT_WINDOWS_ARCH}")
  # Unpacks into a folder of the same name, not loose into the user's folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  include(GNUInstallDirs)
  install(TARGETS korvelt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/res/korvelt.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications RENAME ${KORVELT_APP_ID}.desktop)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/res/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
  configure_file(${PROJECT_SOURCE_DIR}/res/korvelt.metainfo.xml.in
                 ${KORVELT_GENERATED_DIR}/${KORVELT_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${KORVELT_GENERATED_DIR}/${KORVELT_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvelt)
  # Where Debian looks for a package's licence.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvelt RENAME copyright)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # korvelt_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the korvelt developers <maintainers@korvelt.org>")
  # The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the body.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "korvelt records a stereo input device and shows the live signal in one
fixed-size window, refreshed every 32 ms: a two-channel oscilloscope, two needle
meters, two 30-segment LED bars and a scrolling level history.")
  # The libraries' packages come from the program's own links (dpkg-shlibdeps, with `file`);
  # the window's font is found by name at run time, so its package is named here.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
endif()

include(CPack)
