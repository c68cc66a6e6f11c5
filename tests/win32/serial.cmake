# The Win32 serial backend under Wine. The program runs four times: its
# port-less tests alone, and each group of port tests on its own COM port
# (COM5 to COM7) with pty-peer of the Linux build on the other side, in the
# mode that group needs (see serial_win32_test.cpp).
add_executable(serial_win32_tests serial_win32_test.cpp)
target_link_libraries(serial_win32_tests PRIVATE
    qx17_serial_test_support qx17_test_support GTest::gmock GTest::gtest_main)
qx17_warnings(serial_win32_tests)

if(NOT QX17_WINE)
    message(STATUS "Wine not found: the Win32 serial tests are built but not registered")
    return()
endif()
if(NOT QX17_LINUX_TOOLS)
    message(WARNING "QX17_LINUX_TOOLS is not set: the Win32 serial port tests cannot find "
        "pty-peer (configure with -DQX17_LINUX_TOOLS=<Linux build>/tools)")
endif()
set(qx17_pty_peer ${QX17_LINUX_TOOLS}/pty_peer/pty-peer)

add_test(NAME serial_win32_platform
    COMMAND ${QX17_WINE} $<TARGET_FILE:serial_win32_tests> --gtest_filter=Win32Platform*)
set_tests_properties(serial_win32_platform PROPERTIES LABELS win32_serial TIMEOUT 120)

# qx17_serial_wine_test(name com_number gtest_filter [peer options...])
function(qx17_serial_wine_test name com filter)
    add_test(NAME ${name}
        COMMAND ${QX17_WITH_COM_PEER} ${com} ${qx17_pty_peer} ${ARGN}
            --run ${QX17_WINE} $<TARGET_FILE:serial_win32_tests> --gtest_filter=${filter})
    set_tests_properties(${name} PROPERTIES
        LABELS win32_serial TIMEOUT 240 ENVIRONMENT QX17_TEST_COM=COM${com})
endfunction()

qx17_serial_wine_test(serial_win32_echo 5 "Win32Port*:Win32Echo*")
qx17_serial_wine_test(serial_win32_line 6 "Win32Line*" --describe-line)
qx17_serial_wine_test(serial_win32_held 7 "Win32Held*" --hold-unless-baud 19200)
