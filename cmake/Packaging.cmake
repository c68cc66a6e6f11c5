# The packages a user installs: on Linux a Debian package (make package),
# on Windows a setup and a zip of the two programs (make windows-package). The one
# version is the project's. The Debian package also holds the virtual
# tracker, qx17-tracker-sim, to try the programs without hardware; it runs on
# a pseudo-terminal, so the Windows zip has no such program.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME qx17eep)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The QX17 Parameter Editor developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configuration tool for QX17 GPS/GPRS trackers")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(TARGETS qx17eep qx17ctl RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME qx17eep-${PROJECT_VERSION}-windows-x64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    include(CPack)
    # The setup beside the zip, built with NSIS's makensis
    # (make windows-package).
    configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/setup.nsi.in
        ${CMAKE_BINARY_DIR}/packaging/setup.nsi @ONLY)
    return()
endif()

# What Debian wants beside the programs: a manual page for each (compressed),
# the copyright file and the changelog (compressed, with no time stamp); and
# the guide to qx17ctl, which its manual page names, with the guide to
# setting up the shared record.
find_program(QX17_GZIP gzip REQUIRED)
set(qx17_package_files)
foreach(page qx17eep qx17ctl qx17-tracker-sim)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in
        ${CMAKE_BINARY_DIR}/packaging/${page}.1 @ONLY)
    list(APPEND qx17_package_files ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/changelog.in
    ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
list(APPEND qx17_package_files ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
foreach(compressed ${qx17_package_files})
    string(REGEX REPLACE "\\.gz$" "" plain ${compressed})
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${QX17_GZIP} -9nkf ${plain}
        DEPENDS ${plain}
        COMMENT "Compressing ${plain}")
endforeach()
add_custom_target(qx17_package_files ALL DEPENDS ${qx17_package_files})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/packaging/copyright
    ${PROJECT_SOURCE_DIR}/docs/qx17ctl.md
    ${PROJECT_SOURCE_DIR}/docs/record-setup.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # qx17eep_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QX17 Parameter Editor developers <qx17eep@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the dependencies, from the binaries (libodbc2 too)
# qx17ctl's shared record reaches PostgreSQL through this ODBC driver.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-postgresql")
set(CPACK_PACKAGE_DESCRIPTION
    "The QX17 Parameter Editor reads the parameter memory of a QX17 GPS/GPRS\n"
    "tracker over a serial port, shows and checks every value in one window,\n"
    "writes the values back (all at once, one group at a time, or whenever a\n"
    "tracker announces itself) and remembers them between runs. qx17ctl does\n"
    "the same from the command line for the production line: many trackers on\n"
    "many ports, each one read back and logged. qx17-tracker-sim is a virtual\n"
    "tracker on a pseudo-terminal, to try both without a tracker at hand.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
include(CPack)
