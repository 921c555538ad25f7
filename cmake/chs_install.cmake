# Installation: `cmake --install build --prefix P` and the Debian package.
#
#   bin/                         infocollector, chsctl, chs-peers
#   libexec/infocollector/       infocollector-node-prepare, scripts/ (the scripts the
#                                daemon runs, copied into each node root's VXA/script/;
#                                sim/: the simulated platform's programs, as in scripts/)
#   lib/infocollector/plugins/   the sample plugins
#   lib/                         the host stub library plugins link against
#   include/infocollector/       the plugin headers
#   lib/pkgconfig/, lib/cmake/InfoCollectorPlugin/   build flags for plugin authors
#   share/infocollector/         the sample plugin configuration of a new node, the plugin
#                                guide (plugins.md) and the plugin template (plugin-template/)
#   lib/systemd/system/          infocollector@.service, chs-peers@.service
#   etc/default/infocollector, etc/logrotate.d/infocollector   (/etc for prefix /usr)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# `install` and `package` do not rebuild the tree: ./chs builds first, and a
# test that installs must not start a build of its own.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CHS_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/infocollector/plugins)
set(CHS_LIBEXEC_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/infocollector)
set(CHS_DATA_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/infocollector)
set(CHS_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/InfoCollectorPlugin)
set(CHS_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "systemd unit directory, below the install prefix")
set(_packaging ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS infocollector chsctl chs-peers RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS node_facts https_upload_sample LIBRARY DESTINATION ${CHS_PLUGIN_INSTALL_DIR})
file(GLOB _chs_daemon_scripts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/*.sh)
install(PROGRAMS ${_chs_daemon_scripts} ${PROJECT_SOURCE_DIR}/scripts/chs_diagnostic.py
        DESTINATION ${CHS_LIBEXEC_INSTALL_DIR}/scripts)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/sim/omm_cgroup.sh ${PROJECT_SOURCE_DIR}/scripts/sim/reboot
        DESTINATION ${CHS_LIBEXEC_INSTALL_DIR}/scripts/sim)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/infocollector DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/plugins.md DESTINATION ${CHS_DATA_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/plugins/template/ DESTINATION ${CHS_DATA_INSTALL_DIR}/plugin-template
        PATTERN build EXCLUDE)

# The plugin SDK: InfoCollectorPlugin::headers (C++17, include path, hidden
# visibility) and InfoCollectorPlugin::plugin (the same with the host stub and
# --no-undefined), for find_package(InfoCollectorPlugin) and pkg-config.
add_library(chs_plugin_headers INTERFACE)
target_include_directories(chs_plugin_headers INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(chs_plugin_headers INTERFACE cxx_std_17)
target_link_libraries(chs_plugin_headers INTERFACE PkgConfig::JSONCPP)
target_compile_options(chs_plugin_headers INTERFACE -fvisibility=hidden -fvisibility-inlines-hidden)
set_target_properties(chs_plugin_headers PROPERTIES EXPORT_NAME headers)
add_library(chs_plugin_module INTERFACE)
target_link_libraries(chs_plugin_module INTERFACE chs_plugin_headers infocollector_host)
target_link_options(chs_plugin_module INTERFACE LINKER:--no-undefined)
set_target_properties(chs_plugin_module PROPERTIES EXPORT_NAME plugin)
set_target_properties(infocollector_host PROPERTIES EXPORT_NAME host)
install(TARGETS chs_plugin_headers chs_plugin_module infocollector_host EXPORT InfoCollectorPluginTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT InfoCollectorPluginTargets NAMESPACE InfoCollectorPlugin:: DESTINATION ${CHS_CMAKE_INSTALL_DIR})
configure_package_config_file(${_packaging}/InfoCollectorPluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/InfoCollectorPluginConfig.cmake
  INSTALL_DESTINATION ${CHS_CMAKE_INSTALL_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CHS_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/InfoCollectorPluginConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/InfoCollectorPluginConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/InfoCollectorPluginConfigVersion.cmake
        DESTINATION ${CHS_CMAKE_INSTALL_DIR})

# The pkg-config file finds its prefix from where it lies, so that one file
# serves every prefix.
file(RELATIVE_PATH CHS_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${_packaging}/infocollector-plugin.pc.in ${PROJECT_BINARY_DIR}/packaging/infocollector-plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/infocollector-plugin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Files whose text names installed paths are configured when they are
# installed, for the prefix of that installation: a scratch prefix, or /usr
# in the package (where /etc and /var take the place of <prefix>/etc and
# <prefix>/var).
install(CODE "
  set(CHS_PACKAGING_DIR \"${_packaging}\")
  set(CHS_STAGE_DIR \"${PROJECT_BINARY_DIR}/packaging/install-time\")
  set(CHS_REL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(CHS_REL_LIBEXECDIR \"${CHS_LIBEXEC_INSTALL_DIR}\")
  set(CHS_REL_DATADIR \"${CHS_DATA_INSTALL_DIR}\")
  set(CHS_REL_PLUGINDIR \"${CHS_PLUGIN_INSTALL_DIR}\")
  set(CHS_REL_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  set(CHS_REL_UNITDIR \"${CHS_SYSTEMD_UNIT_DIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/chs_install_configured.cmake)

include(${PROJECT_SOURCE_DIR}/cmake/chs_package.cmake)
