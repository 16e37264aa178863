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

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")

include(CPack)
