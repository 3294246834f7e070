# Install rules and packages. Linux (portable backend): a .deb with the program, its manual
# page, changelog, desktop entry, icons and AppStream metainfo. Windows (win32 backend): a zip per architecture with
# the program, the README and the licence. `cpack` in a build folder makes the package.
set(KORVELT_APP_ID "org.korvelt.Korvelt")   # the desktop entry's and the metainfo's name

# KorveltRfc2822Date(YYYY-MM-DD VAR): the date as a Debian changelog writes it, at noon UTC
# ("Tue, 08 Dec 2026 12:00:00 +0000").
function(KorveltRfc2822Date date var)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" matched "${date}")
  if(NOT matched)
    message(FATAL_ERROR "release date ${date} is not YYYY-MM-DD")
  endif()
  set(y ${CMAKE_MATCH_1})
  math(EXPR m "${CMAKE_MATCH_2} + 0")   # without leading zeros, which math() would read as octal
  math(EXPR d "${CMAKE_MATCH_3} + 0")
  # Day of the week (Sakamoto): 0 is Sunday.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR i "${m} - 1")
  list(GET offsets ${i} offset)
  if(m LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
  set(days Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET days ${weekday} day_name)
  list(GET months ${i} month_name)
  set(${var} "${day_name}, ${CMAKE_MATCH_3} ${month_name} ${CMAKE_MATCH_1} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

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
  # The manual page and the changelog, compressed as Debian wants them (gzip -9n: no name or
  # time stamp inside, so the same sources make the same package).
  KorveltRfc2822Date(${KORVELT_RELEASE_DATE} KORVELT_RELEASE_DATE_RFC2822)
  configure_file(${PROJECT_SOURCE_DIR}/res/korvelt.1 ${KORVELT_GENERATED_DIR}/doc/korvelt.1 @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/res/changelog.in ${KORVELT_GENERATED_DIR}/doc/changelog @ONLY)
  find_program(KORVELT_GZIP gzip)
  if(KORVELT_GZIP)
    set(docs_dir ${KORVELT_GENERATED_DIR}/doc)
    add_custom_command(OUTPUT ${docs_dir}/korvelt.1.gz ${docs_dir}/changelog.gz
                       COMMAND ${KORVELT_GZIP} -9nkf korvelt.1 changelog
                       WORKING_DIRECTORY ${docs_dir}
                       DEPENDS ${docs_dir}/korvelt.1 ${docs_dir}/changelog
                       COMMENT "Compressing the manual page and the changelog")
    add_custom_target(korvelt_docs ALL DEPENDS ${docs_dir}/korvelt.1.gz ${docs_dir}/changelog.gz)
    install(FILES ${docs_dir}/korvelt.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${docs_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvelt)
  else()
    message(WARNING "no gzip: the package will lack its manual page and changelog")
  endif()
  # Where Debian looks for a package's licence.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvelt RENAME copyright)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # korvelt_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the korvelt developers <maintainers@korvelt.org>")
  # The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the body.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "korvelt records a stereo input device and shows the live signal in
one fixed-size window, refreshed every 32 ms: a two-channel oscilloscope,
two needle meters, two 30-segment LED bars and a scrolling level history.
The monitors of the sound outputs are listed as inputs too, so it can meter
what the computer itself plays.")
  # The libraries' packages come from the program's own links (dpkg-shlibdeps, with `file`);
  # the window's font is found by name at run time, so its package is named here.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
endif()

include(CPack)
