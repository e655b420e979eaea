# Installs the service's files; "cmake --install" runs it after installing the programs. The paths are
# worked out here from the prefix of the install itself (--prefix, else CMAKE_INSTALL_PREFIX) by the
# rules of GNUInstallDirs, so the unit names the places where the files went; DESTDIR is honoured.
# The files an operator edits (the configuration, the password file, motd.txt, the logrotate file) are
# installed only when absent, so a reinstall never undoes an edit.
#
# Set by the top-level CMakeLists.txt: VARN_SOURCE_DIR, VARN_BINARY_DIR and the install directories
# VARN_BINDIR, VARN_SYSCONFDIR, VARN_DATADIR and VARN_SYSTEMD_UNIT_DIR (relative or absolute), and
# VARN_INSTALL_STATS_UNIT (1 when varnstats is built) and VARN_INSTALL_WEB_UNIT (1 when varnweb is built).

# A directory under the prefix, as GNUInstallDirs' CMAKE_INSTALL_FULL_<dir> would give it for the
# prefix of this install: etc/ and var/ go to /etc and /var for the prefixes / and /usr, and to
# /etc/opt/... for a prefix under /opt.
function(varn_full_directory result relative kind)
  if(IS_ABSOLUTE "${relative}")
    set(path "${relative}")
  elseif(kind STREQUAL "system" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(path "/${relative}")
  elseif(kind STREQUAL "system" AND CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
    set(path "/${relative}${CMAKE_INSTALL_PREFIX}")
  else()
    set(path "${CMAKE_INSTALL_PREFIX}/${relative}")
  endif()
  string(REGEX REPLACE "/+" "/" path "${path}")
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${result} "${path}" PARENT_SCOPE)
endfunction()

varn_full_directory(VARN_FULL_BINDIR "${VARN_BINDIR}" program)
varn_full_directory(VARN_FULL_DATADIR "${VARN_DATADIR}" program)
varn_full_directory(VARN_FULL_SYSCONFDIR "${VARN_SYSCONFDIR}" system)
varn_full_directory(VARN_FULL_UNITDIR "${VARN_SYSTEMD_UNIT_DIR}" program)
set(VARN_CONFDIR "${VARN_FULL_SYSCONFDIR}/varnserver")
set(VARN_DOCDIR "${VARN_FULL_DATADIR}/doc/varnserver")
set(VARN_DESTDIR "$ENV{DESTDIR}")

# Copies a file unless the target exists. file(INSTALL) puts DESTDIR before the destination itself;
# every other file operation here needs it added.
macro(varn_install_once source directory name)
  if(EXISTS "${VARN_DESTDIR}${directory}/${name}")
    message(STATUS "Kept (already there): ${VARN_DESTDIR}${directory}/${name}")
  else()
    file(INSTALL "${source}" DESTINATION "${directory}" RENAME "${name}" ${ARGN})
  endif()
endmacro()

# The unit, always replaced (local changes belong in a drop-in).
configure_file("${VARN_SOURCE_DIR}/packaging/varnserver.service.in"
               "${VARN_BINARY_DIR}/packaging/varnserver.service" @ONLY)
file(INSTALL "${VARN_BINARY_DIR}/packaging/varnserver.service" DESTINATION "${VARN_FULL_UNITDIR}")
# The statistics service, made the same way, where varnstats is built (its timer and user are
# installed beside it by tools/varnstats).
if(VARN_INSTALL_STATS_UNIT)
  configure_file("${VARN_SOURCE_DIR}/packaging/varnstats.service.in"
                 "${VARN_BINARY_DIR}/packaging/varnstats.service" @ONLY)
  file(INSTALL "${VARN_BINARY_DIR}/packaging/varnstats.service" DESTINATION "${VARN_FULL_UNITDIR}")
endif()
# The web console's service, where varnweb is built.
if(VARN_INSTALL_WEB_UNIT)
  configure_file("${VARN_SOURCE_DIR}/packaging/varnweb.service.in"
                 "${VARN_BINARY_DIR}/packaging/varnweb.service" @ONLY)
  file(INSTALL "${VARN_BINARY_DIR}/packaging/varnweb.service" DESTINATION "${VARN_FULL_UNITDIR}")
endif()
# The template for several servers on one host: varnserver@<instance>.service.
configure_file("${VARN_SOURCE_DIR}/packaging/varnserver@.service.in"
               "${VARN_BINARY_DIR}/packaging/varnserver@.service" @ONLY)
file(INSTALL "${VARN_BINARY_DIR}/packaging/varnserver@.service" DESTINATION "${VARN_FULL_UNITDIR}")

set(VARN_PRIVATE_FILE PERMISSIONS OWNER_READ OWNER_WRITE)
set(VARN_PUBLIC_FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
varn_install_once("${VARN_SOURCE_DIR}/packaging/varnserver.conf" "${VARN_CONFDIR}" varnserver.conf
                  ${VARN_PRIVATE_FILE})
varn_install_once("${VARN_SOURCE_DIR}/motd.txt" "${VARN_CONFDIR}" motd.txt ${VARN_PUBLIC_FILE})
# The example scripts the configuration names (commented out), each kept once edited.
file(GLOB VARN_EXAMPLE_SCRIPTS "${VARN_SOURCE_DIR}/examples/scripts/*.lua")
foreach(script IN LISTS VARN_EXAMPLE_SCRIPTS)
  get_filename_component(name "${script}" NAME)
  varn_install_once("${script}" "${VARN_CONFDIR}/scripts" "${name}" ${VARN_PUBLIC_FILE})
endforeach()
varn_install_once("${VARN_SOURCE_DIR}/packaging/varnserver.logrotate" "${VARN_FULL_SYSCONFDIR}/logrotate.d"
                  varnserver ${VARN_PUBLIC_FILE})

# The administrators' password: a new random one, in a file that is made readable by root only before
# anything is written into it.
set(VARN_PASSWORD_FILE "${VARN_DESTDIR}${VARN_CONFDIR}/admin-password")
if("$ENV{VARN_PACKAGE_BUILD}")
  message(STATUS "Not installed: ${VARN_PASSWORD_FILE} (the package makes one on each machine)")
elseif(EXISTS "${VARN_PASSWORD_FILE}")
  message(STATUS "Kept (already there): ${VARN_PASSWORD_FILE}")
else()
  file(READ /dev/urandom VARN_RANDOM LIMIT 16 HEX)
  string(LENGTH "${VARN_RANDOM}" VARN_RANDOM_LENGTH)
  if(NOT VARN_RANDOM_LENGTH EQUAL 32)
    message(FATAL_ERROR "Could not read 16 random bytes from /dev/urandom for ${VARN_PASSWORD_FILE}")
  endif()
  message(STATUS "Installing: ${VARN_PASSWORD_FILE} (a new random administrators' password)")
  file(MAKE_DIRECTORY "${VARN_DESTDIR}${VARN_CONFDIR}")
  file(TOUCH "${VARN_PASSWORD_FILE}")
  file(CHMOD "${VARN_PASSWORD_FILE}" ${VARN_PRIVATE_FILE})
  file(WRITE "${VARN_PASSWORD_FILE}" "${VARN_RANDOM}\n")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${VARN_PASSWORD_FILE}")
endif()
