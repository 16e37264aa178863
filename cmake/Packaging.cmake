# The Debian package that scripts/package builds with `cpack -G DEB`. It holds what
# `cmake --install` puts in place.

set(CPACK_PACKAGE_NAME vorelin)
set(CPACK_PACKAGE_VENDOR "Vorelin team")
set(CPACK_PACKAGE_CONTACT "Vorelin team <equipo@vorelin.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send short messages to other computers on the LAN")
# Wrapped by hand: dpkg shows each line as it is.
set(CPACK_PACKAGE_DESCRIPTION [=[
Vorelin sends short pop-up messages to other computers on the local network
through the NetBIOS/SMB messenger service. Its small window takes a recipient
(a computer name, a network user name or an IP address), an optional sender
name and the message, remembers the recipients used and waits in the
notification area when minimised.

vorelin-send does the same from the command line, for scripts.]=])
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vorelin.invalid")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vorelin team <equipo@vorelin.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorelin.invalid")
# Dependencies come from the libraries the binaries link, so they follow the build. Samba is
# not needed: Vorelin speaks the protocol itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its Wayland plugin at run time, where dpkg-shlibdeps cannot see it; the X11 one
# comes with libqt6gui6.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
# vorelin_<version>_<arch>.deb, the Debian naming.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# One package per component. What is installed without a component ("Unspecified") is the
# package vorelin, as before; each component below is a package of its own.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME vorelin)
# With components, each package takes its long description from its component.
set(CPACK_COMPONENT_UNSPECIFIED_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")

# Component service: the messenger service and its command-line clients.
include(${PROJECT_SOURCE_DIR}/service/Package.cmake)
# Component inbox: the desktop inbox, apart so that a headless receiver need not pull in the
# GUI libraries; the service recommends it.
set(CPACK_COMPONENTS_ALL Unspecified service inbox)
set(VORELIN_INBOX_PACKAGE vorelin-inbox)
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS ${VORELIN_INBOX_PACKAGE})
set(CPACK_DEBIAN_INBOX_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_INBOX_PACKAGE_NAME ${VORELIN_INBOX_PACKAGE})
# CPack 3.25 puts the project's summary line above every component's description.
set(CPACK_DEBIAN_INBOX_DESCRIPTION [=[vorelin-inbox is the desktop side of the Vorelin messenger service (vorelind).
It starts with the desktop session and, for each message that another computer
on the local network sends to this one, pops up a window with the sender and
the whole text, posts a desktop notification and keeps the message in a
history where it can be read again, answered or deleted.]=])
# Qt's Spanish translations, loaded so that Qt's own texts match the inbox's language; Qt's
# SQLite driver, loaded at run time where dpkg-shlibdeps cannot see it: the history cannot be
# kept without it. The libraries the binary links are added to this.
set(CPACK_DEBIAN_INBOX_PACKAGE_DEPENDS "qt6-translations-l10n, libqt6sql6-sqlite")
# Useless without a service to connect to, but that may come from elsewhere.
set(CPACK_DEBIAN_INBOX_PACKAGE_RECOMMENDS "vorelin-service, qt6-wayland")
# /etc/xdg/autostart/vorelin-inbox.desktop is the administrator's to change or remove.
file(WRITE ${CMAKE_BINARY_DIR}/cpack/inbox/conffiles "/etc/xdg/autostart/vorelin-inbox.desktop\n")
set(CPACK_DEBIAN_INBOX_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack/inbox/conffiles)

# Compressed manual pages and lintian's overrides, added to each package's staged files.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianPackageFiles.cmake)
set(CPACK_VORELIN_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")

include(CPack)
