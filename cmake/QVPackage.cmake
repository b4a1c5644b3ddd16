# Debian packages (scripts/package.sh: cpack -G DEB over a build configured
# with QV_SYSTEM_PACKAGE=ON and the prefix /usr), one per install component:
#
#   libqvsubag1            lib      the three shared libraries
#   libqvsubag-dev         dev      headers, CMake package, pkg-config file,
#                                   the example sub-agent's sources and MIB
#   qvt-master-agent       master   the daemon, its configuration (a
#                                   conffile), its service, its MIB
#   qvt-subagent-example   example  the example sub-agent and its template
#                                   service
#
# Run-time dependencies are computed (dpkg-shlibdeps for the system's
# libraries, the component graph for ours); only the tools the maintainer
# scripts call are named by hand.
set(QV_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the packages put the systemd units")
set(QV_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# What a system package carries besides the install tree: the daemon's
# configuration in /etc (absolute: it is not under the prefix), the units,
# and in each package's documentation folder its copyright and changelog.
install(FILES ${QV_PACKAGING_DIR}/etc/master-agent.conf DESTINATION /etc/qvt COMPONENT master)
install(FILES ${QV_PACKAGING_DIR}/etc/subagent-example.conf DESTINATION /etc/qvt/subagent-example
        RENAME example.conf COMPONENT example)
install(FILES ${QV_PACKAGING_DIR}/systemd/qvt-master-agent.service DESTINATION ${QV_SYSTEMD_UNIT_DIR} COMPONENT master)
install(FILES ${QV_PACKAGING_DIR}/systemd/qvt-subagent-example@.service DESTINATION ${QV_SYSTEMD_UNIT_DIR}
        COMPONENT example)

set(qv_changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${qv_changelog}
  COMMAND gzip -9n -c ${QV_PACKAGING_DIR}/debian/changelog > ${qv_changelog}
  DEPENDS ${QV_PACKAGING_DIR}/debian/changelog VERBATIM)
add_custom_target(qv_debian_changelog ALL DEPENDS ${qv_changelog})

set(qv_components lib dev master example)
set(qv_names libqvsubag1 libqvsubag-dev qvt-master-agent qvt-subagent-example)
foreach(component name IN ZIP_LISTS qv_components qv_names)
  install(FILES ${QV_PACKAGING_DIR}/debian/copyright ${qv_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${qv_components})
set(CPACK_PACKAGE_NAME qvsubag)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QVT developers <qvt-dev@qvt.example.org>")
set(CPACK_PACKAGE_VENDOR "The QVT developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE qvsubag)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package's description starts with its own synopsis; CPack puts the
# summary line before it unless the summary is CPack's own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are found in the build tree; the dependency on their
# package comes from the component graph below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/agent)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_MASTER_DEPENDS lib)
set(CPACK_COMPONENT_EXAMPLE_DEPENDS lib)

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The libraries are in the loader's path: the ldconfig trigger renews its
# cache after an install or removal. (CPack also calls ldconfig from the
# scripts it writes for a library package; lintian warns about that.)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${QV_PACKAGING_DIR}/debian/libqvsubag1/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "master agent / sub-agent split for SNMP agents (shared libraries)
libQVSubAg lets a master agent, which owns the SNMP port, forward every
request under a registered subtree to the sub-agent process that implements
it, over UDP datagrams on the host. libQVHost is the host framework it
stands on (values, threads, sockets, settings, MIB handlers, traps);
libQVAgent is the SNMP front-end of the master (v1, v2c and v3 with USM).")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "master agent / sub-agent split for SNMP agents (development files)
Headers (<QVT/...>), the CMake package (find_package(QVSubAg)) and the
pkg-config file (qvsubag) for building sub-agents and masters, with the
example sub-agent's sources and its MIB module as a template to start from.")

set(CPACK_DEBIAN_MASTER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_MASTER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_MASTER_PACKAGE_SUGGESTS "snmp")
set(CPACK_DEBIAN_MASTER_DESCRIPTION "SNMP master agent that forwards subtrees to sub-agent processes
qvt-master-agent owns the SNMP port (v1, v2c and v3 with USM) and forwards
every request under a subtree that a sub-agent registered to that
sub-agent, over a UDP port of its own on the host. A sub-agent that hangs
or floods costs only its own requests.

As installed, it answers SNMPv3 on 127.0.0.1 only and admits sub-agents
from this host only; /etc/qvt/master-agent.conf says how to open it up.")
set(CPACK_DEBIAN_MASTER_PACKAGE_CONTROL_EXTRA
    ${QV_PACKAGING_DIR}/debian/qvt-master-agent/conffiles ${QV_PACKAGING_DIR}/debian/qvt-master-agent/postinst
    ${QV_PACKAGING_DIR}/debian/qvt-master-agent/prerm ${QV_PACKAGING_DIR}/debian/qvt-master-agent/postrm)

set(CPACK_DEBIAN_EXAMPLE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_EXAMPLE_PACKAGE_RECOMMENDS "qvt-master-agent")
set(CPACK_DEBIAN_EXAMPLE_DESCRIPTION "example SNMP sub-agent for qvt-master-agent
qvt-subagent-example serves QVT-EXAMPLE-MIB (scalars, a table and a table
whose rows managers create) through a qvt-master-agent, and keeps its
session: it registers again whenever the master comes back. Each instance
of the template service qvt-subagent-example@NAME reads
/etc/qvt/subagent-example/NAME.conf.")
set(CPACK_DEBIAN_EXAMPLE_PACKAGE_CONTROL_EXTRA
    ${QV_PACKAGING_DIR}/debian/qvt-subagent-example/conffiles ${QV_PACKAGING_DIR}/debian/qvt-subagent-example/postinst
    ${QV_PACKAGING_DIR}/debian/qvt-subagent-example/prerm ${QV_PACKAGING_DIR}/debian/qvt-subagent-example/postrm)

include(CPack)
