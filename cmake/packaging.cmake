# Installation and Debian packages.
#
# `cmake --install` lays out the daemon, the host tool and the simulated card
# as a Debian system expects them; cpack -G DEB makes one package of each:
#   oru      the daemon (/usr/sbin/oru), its OS-layer libraries in
#            /usr/lib/<multiarch>/oru and the systemd unit
#   oru-host the host tool (/usr/bin/oru-host) and its own copy of the
#            OS-layer libraries in /usr/lib/<multiarch>/oru-host
#   oru-sim  the simulated card for development: the driver and monitor
#            client libraries in /usr/lib/<multiarch>/oru (where a card's
#            driver puts its own), ostrel-sim-monitor and the simulated
#            device script in /usr/share/oru-sim
# Installed programs find these libraries through a RUNPATH relative to their
# own place ($ORIGIN); nothing points into the build tree. The packages'
# dependencies are worked out by dpkg-shlibdeps. Packages meant for a card come
# from a build whose ORU_ROOT_PREFIX is empty (presets package and
# aarch64-package).
include(GNUInstallDirs)

set(ORU_LIBDIR ${CMAKE_INSTALL_LIBDIR}/oru)
set(ORU_HOST_LIBDIR ${CMAKE_INSTALL_LIBDIR}/oru-host)

# RUNPATH of a program installed in bindir that looks in the given library
# folders (relative to the installation prefix).
function(oru_install_runpath target bindir)
    set(paths)
    foreach(libdir IN LISTS ARGN)
        file(RELATIVE_PATH rel /${bindir} /${libdir})
        list(APPEND paths "$ORIGIN/${rel}")
    endforeach()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${paths}")
endfunction()

set(ORU_OS_LIBS ostrel_mm ostrel_bounds ostrel_dlog)
if(TARGET oru)
    oru_install_runpath(oru ${CMAKE_INSTALL_SBINDIR} ${ORU_LIBDIR})
    install(TARGETS oru RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
    install(TARGETS ${ORU_OS_LIBS} LIBRARY DESTINATION ${ORU_LIBDIR} COMPONENT daemon)
    set(ORU_INSTALLED_DAEMON ${CMAKE_INSTALL_FULL_SBINDIR}/oru)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/oru.service.in
                   ${CMAKE_BINARY_DIR}/packaging/oru.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/oru.service
            DESTINATION lib/systemd/system COMPONENT daemon)
endif()
if(TARGET oru-host)
    # The driver library comes from the host's driver, or from oru-sim.
    oru_install_runpath(oru-host ${CMAKE_INSTALL_BINDIR} ${ORU_HOST_LIBDIR} ${ORU_LIBDIR})
    install(TARGETS oru-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
    install(TARGETS ${ORU_OS_LIBS} LIBRARY DESTINATION ${ORU_HOST_LIBDIR} COMPONENT host)
endif()
if(TARGET ostrel_hal)
    set_target_properties(ostrel_monitor PROPERTIES INSTALL_RPATH "$ORIGIN")
    oru_install_runpath(ostrel_sim_monitor ${CMAKE_INSTALL_BINDIR} ${ORU_LIBDIR})
    install(TARGETS ostrel_hal ostrel_monitor LIBRARY DESTINATION ${ORU_LIBDIR} COMPONENT sim)
    install(TARGETS ostrel_sim_monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
    install(PROGRAMS ${CMAKE_SOURCE_DIR}/platform/sim/prof_collect.sh
            DESTINATION ${CMAKE_INSTALL_DATADIR}/oru-sim COMPONENT sim)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oru)
set(CPACK_PACKAGE_VENDOR "oru developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Device-side profiling daemon of an AI-accelerator card")
set(CPACK_PACKAGE_CONTACT "oru developers <oru@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon host sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME oru)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
    "Device-side profiling daemon of an AI-accelerator card, with its systemd unit.\n"
    "Needs the card driver's libostrel_hal.so and libostrel_monitor.so (oru-sim on a development machine).")
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS oru-sim)
set(CPACK_DEBIAN_HOST_PACKAGE_NAME oru-host)
set(CPACK_DEBIAN_HOST_DESCRIPTION "Host tool of the oru profiler: runs jobs and writes reports")
set(CPACK_DEBIAN_HOST_PACKAGE_SUGGESTS oru-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME oru-sim)
set(CPACK_DEBIAN_SIM_DESCRIPTION "Simulated card for oru: driver and monitor libraries, monitor service, device script")
include(CPack)
