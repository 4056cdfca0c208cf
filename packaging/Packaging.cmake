# Installation of the desktop pieces and the Debian package (cpack -G DEB).

include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvex-hauptlief.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/images/korvex.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME korvex-hauptlief.png)
# Under the package's own name, where Debian keeps a package's documents (the project's name has an
# underscore): the copyright file, and the README with every document it links to, in the same
# folders as in the sources, so that the links work where they are installed.
set(KORVEX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/korvex-hauptlief)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KORVEX_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/SERVER.md ${PROJECT_SOURCE_DIR}/docs/SECURITY.md ${PROJECT_SOURCE_DIR}/docs/ARCHITECTURE.md
              ${PROJECT_SOURCE_DIR}/docs/PACKAGING.md ${PROJECT_SOURCE_DIR}/docs/main-window.png DESTINATION ${KORVEX_DOC_DIR}/docs)
# The example files of a first import, which SERVER.md points to.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/examples DESTINATION ${KORVEX_DOC_DIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/bench/README.md DESTINATION ${KORVEX_DOC_DIR}/bench)
install(FILES ${PROJECT_SOURCE_DIR}/fuzz/README.md DESTINATION ${KORVEX_DOC_DIR}/fuzz)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "korvex-hauptlief")
set(CPACK_PACKAGE_VENDOR "KORVEX")
set(CPACK_PACKAGE_CONTACT "KORVEX <support@korvex.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KORVEX Update Hauptlieferanten: main and active suppliers of an update run")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Users get no symbols; scripts/package.sh builds the package from a Release build.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
# The library dependencies come from the binaries themselves; the SQL drivers are plugins, which
# dpkg-shlibdeps cannot see, so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-translations-l10n")
include(CPack)
