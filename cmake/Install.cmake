# cmake --install: the libraries, the headers a host needs, the tools, and a
# CMake package (find_package(oskan), target oskan::winport). Component
# libraries are not linked by hosts; they are registered with regsvr after
# installing, and loaded at run time by ProgID.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OSKAN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/oskan)
set(OSKAN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/oskan)

# Every binary finds its libraries by absolute folders or relative to itself,
# never through the working folder. CMake would link the installed targets with
# their build folders and a trailing empty element (room for rewriting them at
# install), which the loader reads as the current folder. So they are linked
# with their install RUNPATH followed by the build folders they need, and
# installing cuts it back to the install RUNPATH alone: it only shrinks, so it
# is rewritten in place. tests/support/check-runpath checks both trees.
get_target_property(OSKAN_WINPORT_BUILD_DIR winport BINARY_DIR)
function(oskan_runpath target destination install_runpath)
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON
        INSTALL_RPATH "${install_runpath};${OSKAN_WINPORT_BUILD_DIR}")
    install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\"
        NEW_RPATH \"${install_runpath}\")")
endfunction()

install(TARGETS winport EXPORT oskanTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${OSKAN_INSTALL_INCLUDEDIR})
install(TARGETS Mirel ods LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS mirel regsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
oskan_runpath(Mirel ${CMAKE_INSTALL_LIBDIR} "$ORIGIN")
oskan_runpath(ods ${CMAKE_INSTALL_LIBDIR} "$ORIGIN")
oskan_runpath(mirel ${CMAKE_INSTALL_BINDIR} "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
oskan_runpath(regsvr ${CMAKE_INSTALL_BINDIR} "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

# Only what a host needs: winport's public API and the component's interfaces,
# identifiers, enumerations and flags. The engines' and the platform's inner
# headers stay in the source tree; tests/support/check-install builds a host
# against the installed tree alone.
set(OSKAN_PUBLIC_WINPORT_HEADERS
    base/wintypes.h base/errors.h base/versioninfo.h base/debugout.h
    loop/ServiceLoop.h
    registry/registry.h
    com/com.h com/objbase.h com/ocidl.h
    automation/oleauto.h automation/typelib.h
    host/SinkObject.h host/DispatchSink.h host/Bstr.h host/EventConnection.h)
foreach(header ${OSKAN_PUBLIC_WINPORT_HEADERS})
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/winport/${header} DESTINATION ${OSKAN_INSTALL_INCLUDEDIR}/winport/${folder})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/Mirel/MirelInterfaces.h ${PROJECT_SOURCE_DIR}/Mirel/MirelEvents.h
    ${PROJECT_SOURCE_DIR}/Mirel/MirelTypes.h DESTINATION ${OSKAN_INSTALL_INCLUDEDIR}/Mirel)
install(FILES ${PROJECT_SOURCE_DIR}/ods/OdsInterfaces.h DESTINATION ${OSKAN_INSTALL_INCLUDEDIR}/ods)

install(EXPORT oskanTargets NAMESPACE oskan:: DESTINATION ${OSKAN_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/oskanConfig.cmake.in
    ${PROJECT_BINARY_DIR}/oskanConfig.cmake INSTALL_DESTINATION ${OSKAN_INSTALL_CMAKEDIR}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/oskanConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/oskanConfig.cmake ${PROJECT_BINARY_DIR}/oskanConfigVersion.cmake
    DESTINATION ${OSKAN_INSTALL_CMAKEDIR})
