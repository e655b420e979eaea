# A Debian package of what "cmake --install" puts in place, for the prefix /usr: the programs, the
# units, the example configuration and scripts, logrotate, the documentation and the monitoring files.
#   cmake -S . -B build-package -G Ninja && cmake --build build-package && (cd build-package && cpack -G DEB)
# The install runs with DESTDIR, so packaging/install.cmake writes the units for /usr and puts the
# configuration under /etc. No administrators' password goes into the package (every installation would
# share it): the maintainer script makes one on the machine, as "cmake --install" does.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Varn Server: the dedicated server of the Varn multiplayer modification")
set(CPACK_PACKAGE_CONTACT "Varn Server operators <varnserver@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# With DESTDIR, cpack installs for this prefix (CMAKE_INSTALL_PREFIX would be the build's own).
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/packaging/debian/package-build.cmake)

# The files an operator edits are conffiles: dpkg keeps an edited one at an upgrade and asks.
set(VARN_CONFFILES /etc/varnserver/varnserver.conf /etc/varnserver/motd.txt /etc/logrotate.d/varnserver)
file(GLOB VARN_PACKAGED_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/scripts/*.lua)
foreach(script IN LISTS VARN_PACKAGED_SCRIPTS)
  get_filename_component(name ${script} NAME)
  list(APPEND VARN_CONFFILES /etc/varnserver/scripts/${name})
endforeach()
list(JOIN VARN_CONFFILES "\n" VARN_CONFFILES_TEXT)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/debian/conffiles "${VARN_CONFFILES_TEXT}\n")
foreach(script postinst postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${script} ${CMAKE_BINARY_DIR}/packaging/debian/${script}
                 COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
    ${CMAKE_BINARY_DIR}/packaging/debian/postinst
    ${CMAKE_BINARY_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
