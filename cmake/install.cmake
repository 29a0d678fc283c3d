# Installation: the daemon, aerolithctl, the stand-in server, a systemd user unit that
# runs the daemon through aerolithctl, and a Debian package through CPack.
include(GNUInstallDirs)

install(TARGETS aerolith-daemon aerolithctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET aerolith-server)
  install(TARGETS aerolith-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

configure_file(${AEROLITH_ROOT}/packaging/aerolith.service.in
               ${CMAKE_BINARY_DIR}/packaging/aerolith.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/aerolith.service
        DESTINATION lib/systemd/user)
install(FILES ${AEROLITH_ROOT}/packaging/aerolith.conf.example ${AEROLITH_ROOT}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME aerolith-daemon)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "aerolith developers <dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Background folder synchronisation daemon")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
