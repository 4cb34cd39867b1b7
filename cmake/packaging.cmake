# Debian packages of the POSIX build: `cpack -G DEB` in a configured build
# tree writes, under /usr, fervadm_<version>_<arch>.deb (the install
# component `programs`: the programs, their pages, completions and example
# topologies) and libfervlib-dev_<version>_<arch>.deb (the component `dev`:
# FervLib's headers, static libraries, CMake package and pkg-config files).
# Windows builds make their ZIP and installer in cmake/windows.cmake.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
  return()
endif()

set(FERV_PACKAGE_MAINTAINER "fervadm developers <fervadm-devel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fervadm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fervadm developers")
set(CPACK_PACKAGE_CONTACT ${FERV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs dev)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME fervadm)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libfervlib-dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FERV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS bash-completion)
# The emulator of fervadm runs a program on the library without the driver.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "fervadm (= ${PROJECT_VERSION}), pkgconf | pkg-config")
# Each package's description: its summary line, then the long text, which
# CPack indents as the control file wants.
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
"administration tool for a multipath-failover storage driver
fervadm and fervadmctl show the HBAs, storage devices, LUNs and paths that
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
set(CPACK_COMPONENT_DEV_DESCRIPTION
"access library of the multipath-failover storage driver (development files)
FervLib is the access library of fervadm: one call per request of the
multipath-failover storage driver (topology queries, path, LUN and device
commands, statistics, parameters, the change wait), with every reply checked
before it is followed.

This package holds its header, a static library per way to the driver (its
device interfaces, its control device, or either chosen at run time), a
CMake package (find_package(FervLib), targets FervLib::enum,
FervLib::control and FervLib::select) and pkg-config files (fervlib-enum,
fervlib-control, fervlib-select).")

# Dependencies are computed from the programs' shared libraries when
# dpkg-shlibdeps (package dpkg-dev) and file (which CPack runs to find the
# programs) are at hand; otherwise they are the C and C++ runtimes every
# build of the programs links.
find_program(FERV_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(FERV_FILE file)
if(FERV_DPKG_SHLIBDEPS AND FERV_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
