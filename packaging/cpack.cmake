# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package.sh does both and checks the result).
set(CPACK_PACKAGE_NAME qx-manager)
set(CPACK_PACKAGE_VENDOR "Halvorn")
set(CPACK_PACKAGE_CONTACT "Halvorn QX Manager developers <qx-manager@halvorn.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual serial ports for the QX-4 radio interface")
# CPack puts the summary first and indents every further line of this text by one space.
set(CPACK_PACKAGE_DESCRIPTION "Halvorn QX Manager makes the QX-4 USB radio interface usable by
ordinary amateur-radio programs. It gives each of the interface's channels
(CAT rig control, PTT/CW keying, FSK and a WinKey Morse keyer) a virtual
serial port and relays bytes, RTS/DTR keying lines and serial settings
between the port and the interface. It runs in the notification area or
without a display.")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://halvorn.com/qx-manager")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build names its architecture (the toolchain file sets it), and a build for a release
# other than this machine's carries it in the version, e.g. 1.0.0~deb13.
if(QX_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QX_DEB_ARCHITECTURE})
endif()
if(QX_DEB_VERSION_SUFFIX)
  set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}${QX_DEB_VERSION_SUFFIX}")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own texts (standard buttons, the tab bar's scroll buttons) in Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/postinst"
    "${CMAKE_CURRENT_LIST_DIR}/debian/prerm" "${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
