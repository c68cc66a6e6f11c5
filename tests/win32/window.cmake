# The native toolkit's controls and event rules under Wine, on the run's
# virtual display. Tests that show windows hold a common lock: a window of
# another test taking the activation would move the focus under them.
set(QX17_DESKTOP_LOCK qx17_desktop)

add_executable(window_win32_tests window_win32_test.cpp)
target_link_libraries(window_win32_tests PRIVATE
    qx17_ui_win32 qx17_serial_test_support GTest::gmock GTest::gtest_main)
qx17_warnings(window_win32_tests)

if(QX17_WINE)
    add_test(NAME window_win32_tests COMMAND ${QX17_WINE} $<TARGET_FILE:window_win32_tests>)
    set_tests_properties(window_win32_tests PROPERTIES
        LABELS win32_window TIMEOUT 120 RESOURCE_LOCK ${QX17_DESKTOP_LOCK})
endif()

# qx17eep.exe is one self-contained program: it imports system DLLs only.
add_test(NAME qx17eep_imports_system_dlls_only
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check_system_dlls.sh $<TARGET_FILE:qx17eep>)
set_tests_properties(qx17eep_imports_system_dlls_only PROPERTIES LABELS win32_program)
