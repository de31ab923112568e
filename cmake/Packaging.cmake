# Installation and the Debian packages: what a host needs to use the shared object, and nothing of
# the static libraries behind it.
#
#   <prefix>/lib/libZelmor.SIP.so.5.14           the shared object (its file name is its soname)
#   <prefix>/lib/libZelmor.SIP.so                the link-time name (development)
#   <prefix>/include/zelmor/sip.h                the C interface (development)
#   <prefix>/lib/pkgconfig/zelmor-sip.pc         pkg-config (development)
#   <prefix>/lib/cmake/ZelmorSIP/                find_package(ZelmorSIP) -> ZelmorSIP::ZelmorSIP
#
# Every installed file finds the others relative to itself, so `cmake --install --prefix DIR` and
# the packages (installed under /usr) give a working tree wherever it lands.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEL_PACKAGE_NAME ZelmorSIP)
set(ZEL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${ZEL_PACKAGE_NAME})
set(ZEL_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The shared object links everything else privately and exports only the C interface, so the
# imported target carries no link dependencies: a host links this one library.
set_target_properties(zelmor_sip PROPERTIES EXPORT_NAME ${ZEL_PACKAGE_NAME})

install(TARGETS zelmor_sip EXPORT ZelmorSIPTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/zelmor/sip.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelmor COMPONENT development)
install(EXPORT ZelmorSIPTargets NAMESPACE ${ZEL_PACKAGE_NAME}::
        DESTINATION ${ZEL_CMAKE_INSTALL_DIR} COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZelmorSIPConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/ZelmorSIPConfig.cmake
                              INSTALL_DESTINATION ${ZEL_CMAKE_INSTALL_DIR})
# The soname carries major and minor (libZelmor.SIP.so.5.14): another minor version is another
# binary interface, so only the same major.minor satisfies a request.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZelmorSIPConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZelmorSIPConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZelmorSIPConfigVersion.cmake
        DESTINATION ${ZEL_CMAKE_INSTALL_DIR} COMPONENT development)

# pkg-config's prefix is found from the .pc file's own folder (${pcfiledir}), not written in at
# configure time: `cmake --install --prefix` and CPack choose the prefix after configuration.
# Absolute folders given at configure time (-DCMAKE_INSTALL_LIBDIR=/...) are written as given.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZEL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH ZEL_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${ZEL_PKGCONFIG_INSTALL_DIR} ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" ZEL_PC_TO_PREFIX "${ZEL_PC_TO_PREFIX}")
  set(ZEL_PC_PREFIX "\${pcfiledir}/${ZEL_PC_TO_PREFIX}")
  set(ZEL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZEL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZEL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zelmor-sip.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zelmor-sip.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelmor-sip.pc
        DESTINATION ${ZEL_PKGCONFIG_INSTALL_DIR} COMPONENT development)

# Debian packages, as Debian names library packages: libzelmor-sip5.14 holds the shared object,
# libzelmor-sip-dev the rest and depends on exactly this version of the first.
set(CPACK_PACKAGE_NAME zelmor-sip)
set(CPACK_PACKAGE_VENDOR "Zelmor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zelmor.SIP maintainers <maintainers@zelmor.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzelmor-sip${PROJECT_VERSION})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzelmor-sip-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libzelmor-sip${PROJECT_VERSION} (= ${PROJECT_VERSION})")
# A Debian description's first line is its synopsis. Each package gets its whole description here,
# and CPACK_PACKAGE_DESCRIPTION_SUMMARY stays unset: CPack would put it before both.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "SIP user-agent library with a C interface
Registrations and calls with SDP offer/answer and SRTP keyed by SDES, over UDP, TCP, TLS, DTLS,
WS and WSS, driven by a host application through a plain C interface.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "SIP user-agent library with a C interface - development files
The C header, the pkg-config file (zelmor-sip) and the CMake package (ZelmorSIP) of the SIP
user-agent library.")
# The packages carry the shared object without its debugging information (the build tree keeps it).
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps (package dpkg-dev) computes the runtime package's dependencies from the shared
# object's DT_NEEDED entries; without it they are listed by hand.
find_program(ZEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libssl3 (>= 3.0.0), libc-ares2 (>= 1.18), libspdlog1.10-fmt9, libfmt9, zlib1g (>= 1:1.2.0)")
endif()
# A shlibs file lets dpkg-shlibdeps of other packages find ours (the development package holds no
# shared object, so only the runtime package gets one).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
