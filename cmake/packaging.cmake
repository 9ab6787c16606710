# The Debian packages libkiv1, libkiv-dev and kiv, one per install component
# (runtime, dev, manager), installed under /usr. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr to get Debian's multiarch libdir.
set(CPACK_PACKAGE_NAME libkiv)
set(KIV_PACKAGE_MAINTAINER "libkiv developers <libkiv@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT ${KIV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client of the process high-availability Manager, and VSDs")
set(CPACK_GENERATOR DEB)
# Staged through DESTDIR, the install sees the packages' real prefix, which
# the unit then names.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev manager)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need this build's libkiv.so.1, which no installed package has:
# their dependency on libkiv1 comes from the component dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the host's libraries: the target's are named.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS libc6)
  set(CPACK_DEBIAN_MANAGER_PACKAGE_DEPENDS "libc6, libstdc++6")
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkiv1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg's symbols file, from the export list: every name since this version.
file(STRINGS ${KIV_VERSION_SCRIPT} KIV_MAP_NODE REGEX "^[A-Z0-9_]+ {")
string(REGEX REPLACE " .*" "" KIV_MAP_NODE "${KIV_MAP_NODE}")
file(STRINGS ${KIV_VERSION_SCRIPT} KIV_MAP_NAMES REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_]*;[ \t]*$")
set(KIV_SYMBOLS "libkiv.so.1 libkiv1 #MINVER#\n* Build-Depends-Package: libkiv-dev\n")
string(APPEND KIV_SYMBOLS " ${KIV_MAP_NODE}@${KIV_MAP_NODE} ${PROJECT_VERSION}\n")
foreach(name IN LISTS KIV_MAP_NAMES)
  string(REGEX REPLACE "[ \t;]" "" name "${name}")
  string(APPEND KIV_SYMBOLS " ${name}@${KIV_MAP_NODE} ${PROJECT_VERSION}\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/deb/symbols "${KIV_SYMBOLS}")
# ldconfig runs from a trigger (Debian policy 8.1.1); CPack's postinst and
# postrm call it as well.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/symbols
  ${PROJECT_SOURCE_DIR}/cmake/deb/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "client library of the process high-availability Manager, and VSDs
 libkiv is loaded into the device's processes: it asks the Manager to
 restart them, watches their threads, and builds and runs VSDs (virtual
 device partitions).")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files of libkiv
 The C headers, pkg-config file and CMake package (kiv::kiv) of libkiv.")
set(CPACK_DEBIAN_MANAGER_PACKAGE_NAME kiv)
set(CPACK_DEBIAN_MANAGER_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_MANAGER_DEPENDS runtime)
set(CPACK_COMPONENT_MANAGER_DESCRIPTION "process high-availability Manager and VSD tools
 The Manager (kiv) restarts registered programs when they exit and watches
 their threads; kivctl shows its state and vsdctl administers VSDs.")
include(CPack)
