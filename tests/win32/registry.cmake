# The Win32 registry store and the end-to-end run under Wine.
#
# The three programs share one registry key (HKEY_CURRENT_USER\Software\
# Kestrowind\QX17EEP) in the one Wine prefix, and each test removes it before
# and after: they hold a common lock so that CTest never runs two at once.
set(QX17_SETTINGS_KEY_LOCK qx17_registry_settings_key)

# The registry routines on the real registry: the parameter library alone.
qx17_test(registry_win32_tests registry_win32_test.cpp registry_raw.cpp LABELS win32_registry)
target_link_libraries(registry_win32_tests PRIVATE qx17_params)
set_tests_properties(registry_win32_tests PROPERTIES RESOURCE_LOCK ${QX17_SETTINGS_KEY_LOCK})

# The window's saved settings on the real registry, through the headless
# toolkit with a fake serial platform.
qx17_test(registry_settings_win32_tests registry_settings_win32_test.cpp registry_raw.cpp
    LABELS win32_registry)
target_link_libraries(registry_settings_win32_tests PRIVATE qx17_ui qx17_serial_test_support)
set_tests_properties(registry_settings_win32_tests PROPERTIES
    RESOURCE_LOCK ${QX17_SETTINGS_KEY_LOCK})

# The whole tool, its own serial component on COM3, against the virtual
# tracker of the Linux build on the other side of that Wine COM port.
add_executable(end_to_end_win32_tests end_to_end_win32_test.cpp registry_raw.cpp)
target_link_libraries(end_to_end_win32_tests PRIVATE
    qx17_test_support qx17_ui_test_support GTest::gmock GTest::gtest_main)
qx17_warnings(end_to_end_win32_tests)

set(QX17_TRACKER_SIM ${QX17_LINUX_TOOLS}/tracker_sim/tracker-sim)
if(QX17_LINUX_TOOLS AND QX17_WINE)
    add_test(NAME end_to_end_win32_tests
        COMMAND ${QX17_WITH_COM_PEER} 3 ${QX17_TRACKER_SIM} --no-stdin --quiet --no-announce
            --run ${QX17_WINE} $<TARGET_FILE:end_to_end_win32_tests>)
    set_tests_properties(end_to_end_win32_tests PROPERTIES
        LABELS win32_e2e TIMEOUT 300 RESOURCE_LOCK ${QX17_SETTINGS_KEY_LOCK})
else()
    message(STATUS "end_to_end_win32_tests not registered: "
        "QX17_LINUX_TOOLS (the Linux build's tools/) or Wine is missing")
endif()
