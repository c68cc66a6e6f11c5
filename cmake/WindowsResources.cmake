# qx17_version_resource(TARGET DESCRIPTION): on Windows, TARGET's file
# properties (the version resource, the project's version) and the programs'
# icon, compiled in with windres.
function(qx17_version_resource target description)
    if(NOT WIN32)
        return()
    endif()
    set(QX17_RC_NAME ${target})
    set(QX17_RC_DESCRIPTION ${description})
    set(QX17_RC_ICON ${PROJECT_SOURCE_DIR}/cmake/packaging/qx17eep.ico)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/version.rc.in
        ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
