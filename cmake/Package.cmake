# The Debian package: `make package` (cpack -G DEB) builds
# sorvane2_<version>_<arch>.deb from the install rules. The libraries the
# programs and modules link come from dpkg-shlibdeps; the rest are what the
# program needs at run time but does not link: the Qt platform plugins that
# open its window, the Japanese fonts it names, and Qt's Japanese texts.
set(CPACK_PACKAGE_NAME "sorvane2")
set(CPACK_PACKAGE_VENDOR "Brelmoor")
set(CPACK_PACKAGE_CONTACT "Brelmoor <support@brelmoor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pack a whole drive into one LZH or ZIP archive")
# Debian keeps the long description within 80 columns: a line here has at
# most 79 characters, as the control file indents each by one.
set(CPACK_PACKAGE_DESCRIPTION
  "Sorvane2 packs the whole contents of a drive (a floppy disk, a USB stick,\n\
an SD card, a mapped folder or a disk image) into one LZH or ZIP archive,\n\
disk after disk, with its own archiver modules. The program speaks Japanese.\n\
sorvane2-pack does the same from scripts and on machines without a display.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://brelmoor.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ZIP32J.DLL and UNZIP32.DLL link IZIP32J.DLL from their own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_INSTALL_PREFIX}/${SORVANE2_INSTALL_MODULEDIR}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "qt6-qpa-plugins, fonts-ipafont-mincho, fonts-ipafont-gothic, qt6-translations-l10n")
include(CPack)
