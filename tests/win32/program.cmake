# qx17eep.exe itself under Wine, end to end: the program against the virtual
# tracker of the Linux build on COM2, driven from another process through its
# window (qx17eep_driver.exe), the tracker's memory checked afterwards
# (qx17eep_end_to_end.sh).
add_executable(qx17eep_driver qx17eep_driver.cpp registry_raw.cpp)
target_link_libraries(qx17eep_driver PRIVATE qx17_ui user32)
qx17_warnings(qx17eep_driver)

# The program saves its settings in the key the registry tests use, and its
# window takes the activation from any other test's window.
if(NOT DEFINED QX17_DESKTOP_LOCK)
    set(QX17_DESKTOP_LOCK qx17_desktop)
endif()

if(QX17_LINUX_TOOLS AND QX17_WINE)
    add_test(NAME qx17eep_end_to_end
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/qx17eep_end_to_end.sh ${QX17_WINE}
            ${QX17_LINUX_TOOLS}/tracker_sim/tracker-sim $<TARGET_FILE:qx17eep>
            $<TARGET_FILE:qx17eep_driver>)
    set_tests_properties(qx17eep_end_to_end PROPERTIES
        LABELS win32_program TIMEOUT 240
        RESOURCE_LOCK "${QX17_SETTINGS_KEY_LOCK};${QX17_DESKTOP_LOCK}")
else()
    message(STATUS "qx17eep_end_to_end not registered: "
        "QX17_LINUX_TOOLS (the Linux build's tools/) or Wine is missing")
endif()

# qx17ctl.exe under Wine against the virtual tracker on COM4: the line, read,
# write with its read-back, ports. It too needs no DLL beside the system's.
add_test(NAME qx17ctl_imports_system_dlls_only
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check_system_dlls.sh $<TARGET_FILE:qx17ctl>)
set_tests_properties(qx17ctl_imports_system_dlls_only PROPERTIES LABELS win32_program)
if(QX17_LINUX_TOOLS AND QX17_WINE)
    add_test(NAME qx17ctl_end_to_end
        COMMAND ${QX17_WITH_COM_PEER} 4 ${QX17_LINUX_TOOLS}/tracker_sim/tracker-sim --no-stdin
            --quiet --announce-ms 200
            --run ${CMAKE_CURRENT_SOURCE_DIR}/qx17ctl_end_to_end.sh ${QX17_WINE}
            $<TARGET_FILE:qx17ctl>)
    set_tests_properties(qx17ctl_end_to_end PROPERTIES LABELS win32_program TIMEOUT 240)
endif()

# The Windows zip: its contents, and both programs run from it.
if(QX17_WINE)
    add_test(NAME windows_package
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows_package_test.sh ${CMAKE_BINARY_DIR}
            ${QX17_WINE} ${CMAKE_BINARY_DIR}/package-test)
    set_tests_properties(windows_package PROPERTIES LABELS win32_package TIMEOUT 240)
endif()

# The Windows setup: installed for the user alone, over itself, in IT's own
# folder, and uninstalled, in a Wine prefix of its own.
if(QX17_WINE)
    add_test(NAME windows_setup
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows_setup_test.sh ${CMAKE_BINARY_DIR}
            ${QX17_WINE} ${CMAKE_BINARY_DIR}/setup-test)
    set_tests_properties(windows_setup PROPERTIES LABELS win32_package TIMEOUT 300)
endif()

# Both programs answer --help and --version on the console, without a window.
if(QX17_WINE)
    add_test(NAME windows_programs_answer_help_and_version
        COMMAND ${CMAKE_COMMAND} -E env WINE=${QX17_WINE}
            ${PROJECT_SOURCE_DIR}/scripts/help_and_version_test.sh ${PROJECT_VERSION}
            wine:$<TARGET_FILE:qx17eep> wine:$<TARGET_FILE:qx17ctl>)
    set_tests_properties(windows_programs_answer_help_and_version PROPERTIES
        LABELS win32_program TIMEOUT 120)
endif()

# Two stations on one shared record: qx17ctl.exe under Wine (through odbc32
# to the host's driver) and the Linux qx17ctl, on the tests' PostgreSQL server.
if(QX17_LINUX_TOOLS AND QX17_WINE)
    add_test(NAME record_two_stations
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/record_two_stations.sh ${QX17_WINE}
            $<TARGET_FILE:qx17ctl> ${QX17_LINUX_TOOLS}/../ctl/qx17ctl
            ${QX17_LINUX_TOOLS}/tracker_sim/tracker-sim ${CMAKE_BINARY_DIR}/record-server)
    set_tests_properties(record_two_stations PROPERTIES
        LABELS win32_record FIXTURES_REQUIRED record_server TIMEOUT 300)
endif()
