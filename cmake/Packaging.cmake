# Debian packages, built with `cmake --build <build> --target package` (CPack) for the architecture
# of the build: amd64 from the native build, i386 from the build with cmake/i386.cmake.
#   zotolvex      the daemon, its systemd unit, the sample configuration (a conffile), the tools, docs
#   zotolvex-sim  our drop-in libzoAPI.so and the simulators zonvr-sim and zocam-sim
# The daemon's package does not depend on the simulator's: a site's own libzoAPI.so stands in for
# ours. Ours lives in a private directory that the loader searches after every system directory,
# so where both are installed the daemon loads the site's. Included last from the top CMakeLists.txt,
# when every target exists.

set(ZOTOLVEX_RUNNING_DIR /usr/local/marnu/zoTolvex)
set(ZOTOLVEX_UNIT_DIR /lib/systemd/system)
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(ZOTOLVEX_SIM_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/zotolvex-sim)
else()
    set(ZOTOLVEX_SIM_LIBDIR lib/zotolvex-sim)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The Debian architecture of what this build compiles, not of the build host: the i386 build runs
# on an amd64 host, where CPack's own guess would be amd64.
find_program(ZOTOLVEX_DPKG_ARCHITECTURE dpkg-architecture)
if(ZOTOLVEX_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${ZOTOLVEX_DPKG_ARCHITECTURE} -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE ZOTOLVEX_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ZOTOLVEX_DEB_ARCH)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(ZOTOLVEX_DEB_ARCH i386)
    else()
        set(ZOTOLVEX_DEB_ARCH amd64)
    endif()
endif()

# systemd never blocks its own architecture's system calls; a 32-bit daemon under a 64-bit
# systemd also makes x86 calls, which "native" alone would kill.
if(ZOTOLVEX_DEB_ARCH STREQUAL "i386")
    set(ZOTOLVEX_SYSCALL_ARCHITECTURES "native x86")
else()
    set(ZOTOLVEX_SYSCALL_ARCHITECTURES "native")
endif()
set(zotolvexPackagingDir ${CMAKE_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/zotolvex.service.in ${zotolvexPackagingDir}/zotolvex.service @ONLY)
file(WRITE ${zotolvexPackagingDir}/zz-zotolvex-sim.conf
    "# zotolvex-sim: the simulator's libzoAPI.so. Listed after every other directory, so that a\n"
    "# site's own libzoAPI.so (in /usr/local/lib, say) is the one the daemon loads.\n"
    "/usr/${ZOTOLVEX_SIM_LIBDIR}\n")

# Maintainer scripts and control files, named as dpkg expects them, one directory per package.
foreach(member IN ITEMS postinst prerm postrm conffiles)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/zotolvex.${member}
        ${zotolvexPackagingDir}/daemon/${member} COPYONLY)
    list(APPEND CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${zotolvexPackagingDir}/daemon/${member})
endforeach()
foreach(member IN ITEMS conffiles triggers)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/zotolvex-sim.${member}
        ${zotolvexPackagingDir}/sim/${member} COPYONLY)
    list(APPEND CPACK_DEBIAN_SIM_PACKAGE_CONTROL_EXTRA ${zotolvexPackagingDir}/sim/${member})
endforeach()

# zotolvex. The installed daemon carries no RUNPATH (the build tree's one goes): it finds
# libzoAPI.so through the loader's cache like any system library.
set_target_properties(zoTolvex PROPERTIES INSTALL_RPATH "")
if(TARGET zotolvex-checkconfig)
    install(TARGETS zotolvex-checkconfig RUNTIME DESTINATION sbin COMPONENT daemon)
endif()
install(FILES ${zotolvexPackagingDir}/zotolvex.service DESTINATION ${ZOTOLVEX_UNIT_DIR} COMPONENT daemon)
# The configuration holds passwords: root writes it, the service's group reads it (postinst).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zoTolvex.xml.sample
    DESTINATION ${ZOTOLVEX_RUNNING_DIR} RENAME zoTolvex.xml
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/zoTolvex.xml.sample
    DESTINATION share/doc/zotolvex COMPONENT daemon)

# zotolvex-sim
install(TARGETS zoAPI LIBRARY DESTINATION ${ZOTOLVEX_SIM_LIBDIR} COMPONENT sim
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
foreach(simulator IN ITEMS zonvr-sim zocam-sim)
    if(TARGET ${simulator})
        install(TARGETS ${simulator} RUNTIME DESTINATION bin COMPONENT sim)
    endif()
endforeach()
install(FILES ${zotolvexPackagingDir}/zz-zotolvex-sim.conf DESTINATION /etc/ld.so.conf.d COMPONENT sim)
install(FILES ${PROJECT_SOURCE_DIR}/docs/zonvr-sim.md ${PROJECT_SOURCE_DIR}/docs/zoapi-protocol.md
    DESTINATION share/doc/zotolvex-sim COMPONENT sim)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zotolvex)
set(CPACK_PACKAGE_VENDOR "zoTolvex")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zoTolvex developers <zotolvex@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL daemon sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZOTOLVEX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies from the libraries the programs need (boost, tinyxml2, the C++ run-time), found by
# dpkg-shlibdeps. libzoAPI.so belongs to no Debian package and is left out of them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/zoapi)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME zotolvex)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS zotolvex-sim)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "track camera control service for operators and recording servers
zoTolvex lets several operators steer pan-tilt-zoom track cameras at once over TCP,
relays their Pelco frames to the cameras over TCP or serial lines, and ties the choice
of a camera to the site's video recording servers through the client library
libzoAPI.so, which the site provides (or zotolvex-sim, for tests and demonstrations).")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME zotolvex-sim)
set(CPACK_DEBIAN_SIM_DESCRIPTION "recording-server simulator and drop-in libzoAPI.so for zoTolvex
The drop-in client library libzoAPI.so, the recording-server simulator zonvr-sim and
the track camera simulator zocam-sim, for testing and demonstrating zoTolvex without
the site's own servers. A site's own libzoAPI.so takes precedence over this one.")

include(CPack)

if(BUILD_TESTING)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
endif()
