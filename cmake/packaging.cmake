# Debian package of the POSIX build: `cpack` in a configured build tree
# writes fervadm_<version>_<arch>.deb with everything cmake/install.cmake
# installs, under /usr.
if(WIN32)
  return()
endif()

set(FERV_PACKAGE_MAINTAINER "fervadm developers <fervadm-devel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fervadm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fervadm developers")
set(CPACK_PACKAGE_CONTACT ${FERV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "administration tool for a multipath-failover storage driver")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FERV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# The long description; CPack puts the summary above it and indents it as
# the control file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"fervadm and fervadmctl show the HBAs, storage devices, LUNs and paths that
a multipath-failover storage driver manages, switch, enable and disable
paths, restore preferred paths, read I/O counters, set the driver's
parameters and wait for a path state change. fervadm finds the driver by
its device interfaces, fervadmctl through its control device.

fervmon watches the driver for the monitoring a host already runs: a
Nagios/Icinga plugin that alerts when a LUN loses redundancy, Prometheus
metrics of path states and I/O counters for node_exporter's textfile
collector, and a change log of every failover, as text or JSON lines.

fervsim emulates the driver over Unix-domain sockets, so that every command
runs end to end on a machine without it, and failover can be rehearsed by
failing and restoring links.")

# Dependencies are computed from the programs' shared libraries when
# dpkg-shlibdeps (package dpkg-dev) is at hand; otherwise they are the C and
# C++ runtimes every build of the programs links.
find_program(FERV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FERV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
