# QX17_SANITIZE selects a sanitizer build for the whole tree:
#   address  -> AddressSanitizer + UndefinedBehaviorSanitizer
#   thread   -> ThreadSanitizer
# Every finding is fatal so that CTest sees it as a failure.
set(QX17_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' or 'thread'")

if(QX17_SANITIZE STREQUAL "address")
    set(_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(QX17_SANITIZE STREQUAL "thread")
    set(_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT QX17_SANITIZE STREQUAL "")
    message(FATAL_ERROR "Unknown QX17_SANITIZE value '${QX17_SANITIZE}'")
endif()

if(_flags)
    add_compile_options(${_flags})
    add_link_options(${_flags})
endif()
