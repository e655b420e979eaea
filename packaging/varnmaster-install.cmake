# Installs varnmaster's service files; "cmake --install" runs it after the program. As for the server
# (packaging/install.cmake), the paths follow the prefix of the install itself, DESTDIR is honoured, and
# the files an operator edits (the settings, the logrotate file) are installed only when absent.
#
# Set by tools/varnmaster/CMakeLists.txt: VARN_SOURCE_DIR, VARN_BINARY_DIR, VARN_BINDIR, VARN_SYSCONFDIR,
# VARN_DATADIR and VARN_SYSTEMD_UNIT_DIR.

function(varn_master_directory result relative kind)
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

varn_master_directory(VARN_FULL_BINDIR "${VARN_BINDIR}" program)
varn_master_directory(VARN_FULL_DATADIR "${VARN_DATADIR}" program)
varn_master_directory(VARN_FULL_SYSCONFDIR "${VARN_SYSCONFDIR}" system)
varn_master_directory(VARN_FULL_UNITDIR "${VARN_SYSTEMD_UNIT_DIR}" program)
set(VARN_CONFDIR "${VARN_FULL_SYSCONFDIR}/varnmaster")
set(VARN_DOCDIR "${VARN_FULL_DATADIR}/doc/varnserver")

configure_file("${VARN_SOURCE_DIR}/packaging/varnmaster.service.in" "${VARN_BINARY_DIR}/packaging/varnmaster.service"
               @ONLY)
file(INSTALL "${VARN_BINARY_DIR}/packaging/varnmaster.service" DESTINATION "${VARN_FULL_UNITDIR}")
foreach(pair "varnmaster.conf;${VARN_CONFDIR};varnmaster.conf"
             "varnmaster.logrotate;${VARN_FULL_SYSCONFDIR}/logrotate.d;varnmaster")
  list(GET pair 0 source)
  list(GET pair 1 directory)
  list(GET pair 2 name)
  if(EXISTS "$ENV{DESTDIR}${directory}/${name}")
    message(STATUS "Kept (already there): $ENV{DESTDIR}${directory}/${name}")
  else()
    file(INSTALL "${VARN_SOURCE_DIR}/packaging/${source}" DESTINATION "${directory}" RENAME "${name}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
