# Installation and the Debian package (scripts/package.sh builds it).
#
#   /usr/lib/tandemize/Tandemize_srv                 the program
#   /usr/lib/tandemize/libtandemize_sqlcipher.so     encrypted SQLite, found beside the program
#   /etc/tandemize/Tandemize_srv.ini                 settings (the unit passes it with --config)
#   /lib/systemd/system/tandemize.service            the unit: own user, hardened
#   /usr/share/doc/tandemize/                        README, deploy notes
set(TANDEMIZE_INSTALL_DIR lib/tandemize)

install(TARGETS Tandemize_srv RUNTIME DESTINATION ${TANDEMIZE_INSTALL_DIR})
install(TARGETS tandemize_sqlcipher LIBRARY DESTINATION ${TANDEMIZE_INSTALL_DIR})
# Absolute: /etc and the unit folder are where the system looks, whatever the prefix.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Tandemize_srv.ini DESTINATION /etc/tandemize)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tandemize.service DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/tandemize)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/deploy.md)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/deploy.md DESTINATION share/doc/tandemize)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tandemize)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Tandemize maintainers <tandemize@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HTTP service that upserts table rows into the database each request names")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
# Libraries the program links (and the SQLCipher plugin's) come from dpkg-shlibdeps;
# the database clients are loaded at run time, only for the kinds requests use.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpq5, libmariadb3, libfbclient2, libodbc2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
