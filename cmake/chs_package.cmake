# The Debian package (./chs package-deb, or cpack -G DEB in the build folder):
# everything `cmake --install` puts in place, below /usr, with /etc and /var.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME infocollector)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Call-home service")
set(CPACK_PACKAGE_CONTACT "Call-home service maintainers <chs-maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Information collector of the call-home service")
set(CPACK_PACKAGE_DESCRIPTION "The collector daemon of a controller node, its sibling modules and \
command line, the sample plugins, the plugin SDK (headers, host stub, pkg-config file and CMake package), \
systemd units (infocollector@<node>, chs-peers@<node>) and the logrotate configuration of the node logs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_STRIP_FILES ON)
# The shared libraries the programs link (jsoncpp, curl, ssl, sqlite3, ...)
# come from dpkg-shlibdeps; the commands the scripts run are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, sqlite3, openssl, passwd")
# Building a plugin against the SDK needs a compiler and jsoncpp's headers.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++, pkg-config, libjsoncpp-dev")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
include(CPack)
