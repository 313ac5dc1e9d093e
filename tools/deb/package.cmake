# The Debian package "zel" (CPack's DEB generator) of the install layout,
# made from a build configured for it by tools/make-deb.sh.  The version is
# the release's (lib/version.cpp); dpkg-shlibdeps finds the dependencies.
# tools/deb/stage.cmake adds what Debian asks of a package's documents.
file(STRINGS ${CMAKE_SOURCE_DIR}/lib/version.cpp ZEL_VERSION_LINE REGEX "ZEL_VERSION = ")
string(REGEX MATCH "[0-9]+(\\.[0-9]+)*" ZEL_RELEASE "${ZEL_VERSION_LINE}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel)
set(CPACK_PACKAGE_VERSION ${ZEL_RELEASE})
set(CPACK_PACKAGE_VENDOR "Vantrel Technologies")
set(CPACK_PACKAGE_CONTACT "Vantrel Technologies <support@vantrel.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "web administration and fax dispatch of the Vantrel fax server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The administration and dispatch side of the Vantrel Image Messaging Software\n"
    "(ZEL), a Unix fax messaging server: zeladmin, the CGI program behind the web\n"
    "administration (user accounts, the system configuration, fax lines, daemons,\n"
    "the send queue and the logs); zeldispatch, run once for every received fax to\n"
    "deliver it to the accounts of its called number; and zelpasswd, which makes\n"
    "the first administrator account.")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.vantrel.com/")
# Any web server that runs CGI programs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "httpd-cgi")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/stage.cmake)
# For stage.cmake, which sees only CPack's variables.
set(CPACK_ZEL_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_ZEL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_ZEL_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_ZEL_PROGRAMS ${ZEL_CGI_DIR}/zeladmin ${CMAKE_INSTALL_BINDIR}/zeldispatch
    ${CMAKE_INSTALL_BINDIR}/zelpasswd)
include(CPack)
