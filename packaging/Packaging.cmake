# Installation and the Debian package: the service, libKxSystem.so, KxPlcSim and kxxml, a systemd unit with
# its settings file, and a default configuration store that the package's postinst puts in place only when
# there is none. On Linux without an explicit prefix everything goes where a Debian package puts it (/usr,
# /etc, /var; elsewhere the prefix keeps its usual default). Stage a tree with
# DESTDIR=/tmp/root cmake --install build; cpack -G DEB, run in the build folder, makes the package.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

# The router library is private to these programs: it lives in its own folder, found through RUNPATH, so an
# unpacked tree runs from wherever it lies.
set(KX_PKG_LIBDIR lib/kxxmldatasrv)
set_target_properties(KxXmlDataSrv kxxml KxPlcSim PROPERTIES INSTALL_RPATH "$ORIGIN/../${KX_PKG_LIBDIR}")
install(TARGETS KxXmlDataSrv RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS kxxml KxPlcSim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS KxSystem LIBRARY DESTINATION ${KX_PKG_LIBDIR})

set(KX_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(KX_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(KX_DATADIR ${CMAKE_INSTALL_FULL_DATADIR})
set(KX_LOCALSTATEDIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR})
set(KX_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
foreach(f kxxmldatasrv.service kxxmldatasrv.default KxRegistry.xml postinst postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${f}.in ${KX_PKG_OUT}/${f} @ONLY)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm ${KX_PKG_OUT}/prerm COPYONLY)
file(WRITE ${KX_PKG_OUT}/conffiles "${KX_SYSCONFDIR}/default/kxxmldatasrv\n")

install(FILES ${KX_PKG_OUT}/kxxmldatasrv.service DESTINATION lib/systemd/system)
install(FILES ${KX_PKG_OUT}/kxxmldatasrv.default DESTINATION ${KX_SYSCONFDIR}/default RENAME kxxmldatasrv)
install(FILES ${KX_PKG_OUT}/KxRegistry.xml ${PROJECT_SOURCE_DIR}/tests/data/plc/sample-machine.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kxxmldatasrv)

set(CPACK_PACKAGE_NAME kxxmldatasrv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmor")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "XML data server of the automation runtime")
set(CPACK_PACKAGE_DESCRIPTION "Keeps PLC symbol values in XML files and writes values from files back into PLC
memory, serving clients over the runtime's router. With the router library stand-in, a simulated PLC
(KxPlcSim) and the command-line client kxxml.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# /etc lies outside the prefix: the package is staged with DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KxXmlDataSrv developers <kxxmldatasrv@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/KxSystem)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KX_PKG_OUT}/postinst ${KX_PKG_OUT}/prerm ${KX_PKG_OUT}/postrm ${KX_PKG_OUT}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The package, unpacked into a temporary root, runs the service with the sample PLC; kxxml state and diff
# work against it. It checks the Debian layout, so it needs the prefix /usr (the default of a new build folder).
find_program(KX_DPKG_DEB dpkg-deb)
if(KX_BUILD_TESTS AND KX_DPKG_DEB AND NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "PackageTest left out: the install prefix is ${CMAKE_INSTALL_PREFIX}, not /usr")
elseif(KX_BUILD_TESTS AND KX_DPKG_DEB)
    add_test(NAME PackageTest
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/PackageTest.sh ${CMAKE_BINARY_DIR} ${CMAKE_CPACK_COMMAND})
    set_tests_properties(PackageTest PROPERTIES TIMEOUT 900)
endif()
