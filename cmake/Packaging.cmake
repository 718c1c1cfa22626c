# The packages, made by CPack from the same tree (`cpack --preset deb`, `cpack --preset windows-zip`):
# a .deb of the Linux program and its tools, a zip of the shipped Windows program; docs/packaging.md.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_NAME zepmaintenance)
set(CPACK_PACKAGE_VENDOR "Z.EP")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance and self-update tool of the PKI client suite")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
file(GLOB zep_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)

if(WIN32)
    install(TARGETS zepmaintenance RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    install(FILES ${zep_docs} DESTINATION docs)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ZEPMaintenance-${PROJECT_VERSION}-win32)
    include(CPack)
    return()
endif()

# Debian's places: the program and the logon run it names in the autostart entry side by side in a
# folder of their own (the product folder install records), with links on the PATH; docs compressed.
set(zep_pkg ${CMAKE_BINARY_DIR}/package)
set(zep_compressed)
foreach(source IN ITEMS ${CMAKE_SOURCE_DIR}/README.md ${zep_docs} ${CMAKE_SOURCE_DIR}/packaging/deb/changelog
                        ${CMAKE_SOURCE_DIR}/docs/man/zepmaintenance.8 ${CMAKE_SOURCE_DIR}/docs/man/zeprun.8
                        ${CMAKE_SOURCE_DIR}/docs/man/zepreg.8 ${CMAKE_SOURCE_DIR}/docs/man/zcf.1)
    get_filename_component(name ${source} NAME)
    if(name STREQUAL "changelog")
        set(name changelog.Debian)
    endif()
    add_custom_command(OUTPUT ${zep_pkg}/${name}.gz COMMAND gzip -9nc ${source} > ${zep_pkg}/${name}.gz
                       DEPENDS ${source} VERBATIM)
    list(APPEND zep_compressed ${zep_pkg}/${name}.gz)
endforeach()
add_custom_target(zep_package_files ALL DEPENDS ${zep_compressed})
file(MAKE_DIRECTORY ${zep_pkg}/links)
foreach(program IN ITEMS zepmaintenance zeprun)
    file(CREATE_LINK ../lib/zepmaintenance/bin/${program} ${zep_pkg}/links/${program} SYMBOLIC)
endforeach()

install(TARGETS zepmaintenance zeprun RUNTIME DESTINATION lib/zepmaintenance/bin)
install(TARGETS zcf zepreg RUNTIME DESTINATION bin)
install(FILES ${zep_pkg}/links/zepmaintenance ${zep_pkg}/links/zeprun DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/deb/copyright DESTINATION share/doc/zepmaintenance)
list(FILTER zep_compressed EXCLUDE REGEX "\\.[18]\\.gz$")
install(FILES ${zep_compressed} DESTINATION share/doc/zepmaintenance)
install(FILES ${zep_pkg}/zcf.1.gz DESTINATION share/man/man1)
install(FILES ${zep_pkg}/zepmaintenance.8.gz ${zep_pkg}/zeprun.8.gz ${zep_pkg}/zepreg.8.gz DESTINATION share/man/man8)
# This package goes to the product's customers, never into Debian: it closes no Debian bug.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/deb/lintian-overrides DESTINATION share/lintian/overrides
        RENAME zepmaintenance)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/deb/zepmaintenance.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME zepmaintenance.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ZEPMaintenance developers <zepmaintenance@zep.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
# CPack puts the summary before it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ZEPMaintenance updates the installed PKI client product from signed
manifests, with a protected backup and a rollback that a crash cannot
skip. It runs as an on-demand service started by systemd socket
activation, a worker run as root, and a loader that shows the progress.
.
The package also holds zcf, the release tool of the signed manifest,
zepreg, the tool of the program's settings store, and zeprun, which runs
the machine's Run and RunOnce commands at logon.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/deb/postinst
                                       ${CMAKE_SOURCE_DIR}/packaging/deb/prerm ${CMAKE_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
