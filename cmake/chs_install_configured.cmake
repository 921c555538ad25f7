# Part of the install step (cmake/chs_install.cmake sets the CHS_* variables):
# the systemd units, the environment file, the logrotate configuration, the
# node preparation program and the sample plugin configuration, configured for
# the prefix being installed to.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(_system_root "")
else()
  set(_system_root "${CMAKE_INSTALL_PREFIX}")
endif()
set(CHS_ETC "${_system_root}/etc")
set(CHS_STATE "${_system_root}/var/lib/infocollector")
set(CHS_BIN "${CMAKE_INSTALL_PREFIX}/${CHS_REL_BINDIR}")
set(CHS_LIBEXEC "${CMAKE_INSTALL_PREFIX}/${CHS_REL_LIBEXECDIR}")
set(CHS_DATA "${CMAKE_INSTALL_PREFIX}/${CHS_REL_DATADIR}")
set(CHS_PLUGINS "${CMAKE_INSTALL_PREFIX}/${CHS_REL_PLUGINDIR}")
set(CHS_DOC "${CMAKE_INSTALL_PREFIX}/${CHS_REL_DOCDIR}")
# A stage folder per destination: an install and a package build may run at once.
string(MD5 _destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(CHS_STAGE_DIR "${CHS_STAGE_DIR}/${_destination}")

# chs_install_configured(TEMPLATE DESTINATION NAME TYPE): TYPE is FILE or PROGRAM.
function(chs_install_configured template destination name type)
  configure_file("${CHS_PACKAGING_DIR}/${template}" "${CHS_STAGE_DIR}/${name}" @ONLY)
  if(type STREQUAL "PROGRAM")
    set(_mode PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    set(_mode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  file(INSTALL DESTINATION "${destination}" TYPE FILE ${_mode} FILES "${CHS_STAGE_DIR}/${name}")
endfunction()

chs_install_configured(systemd/infocollector@.service.in "${CMAKE_INSTALL_PREFIX}/${CHS_REL_UNITDIR}"
                       infocollector@.service FILE)
chs_install_configured(systemd/chs-peers@.service.in "${CMAKE_INSTALL_PREFIX}/${CHS_REL_UNITDIR}"
                       chs-peers@.service FILE)
chs_install_configured(infocollector.default.in "${CHS_ETC}/default" infocollector FILE)
# The same name in two stage folders: configure_file writes by file name.
chs_install_configured(logrotate.in "${CHS_ETC}/logrotate.d" logrotate.d/infocollector FILE)
chs_install_configured(infocollector-node-prepare.in "${CHS_LIBEXEC}" infocollector-node-prepare PROGRAM)
chs_install_configured(InfoCollector.txt.in "${CHS_DATA}" InfoCollector.txt FILE)
