# The vorelin-service Debian package, as the CPack component "service", beside the vorelin
# package (the files installed without a component). To be included by cmake/Packaging.cmake
# before include(CPack); it only sets CPack variables.

set(CPACK_DEB_COMPONENT_INSTALL ON)
# The service's files are EXCLUDE_FROM_ALL, so they must be asked for by name.
set(CPACK_COMPONENTS_ALL Unspecified service)

set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME vorelin)
set(CPACK_DEBIAN_UNSPECIFIED_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME vorelin-service)
set(CPACK_DEBIAN_SERVICE_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# deb-systemd-helper and deb-systemd-invoke run in the maintainer scripts.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "init-system-helpers (>= 1.54)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS samba)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack 3.25 puts CPACK_PACKAGE_DESCRIPTION_SUMMARY first, whatever the component says.
set(CPACK_COMPONENT_SERVICE_DESCRIPTION [=[This is the receiving half: the vorelind messenger service.
vorelind receives the pop-up messages that Vorelin, smbclient -M and the old
Windows net send deliver on the local network (NetBIOS session service on TCP
port 139, SMB message commands). It keeps each message in a durable spool
until a local client has shown it, and runs with no privileges of its own.

vorelin-recv prints the messages that arrive for you; vorelin-deliver lets
Samba's smbd hand messages in where smbd holds port 139.]=])
