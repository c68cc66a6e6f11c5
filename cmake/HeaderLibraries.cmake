# CLI11 (command lines) and nlohmann-json (JSON): header-only Debian
# packages, as the interface target qx17_header_libraries. The Windows cross
# build takes their headers from there too (and nothing else of /usr/include).
if(CMAKE_CROSSCOMPILING)
    set(qx17_headers ${CMAKE_BINARY_DIR}/header-libraries)
    file(MAKE_DIRECTORY ${qx17_headers})
    file(CREATE_LINK /usr/include/CLI ${qx17_headers}/CLI SYMBOLIC)
    file(CREATE_LINK /usr/include/nlohmann ${qx17_headers}/nlohmann SYMBOLIC)
    add_library(qx17_header_libraries INTERFACE)
    target_include_directories(qx17_header_libraries SYSTEM INTERFACE ${qx17_headers})
else()
    find_package(CLI11 CONFIG REQUIRED)
    find_package(nlohmann_json 3 REQUIRED)
    add_library(qx17_header_libraries INTERFACE)
    target_link_libraries(qx17_header_libraries INTERFACE
        CLI11::CLI11 nlohmann_json::nlohmann_json)
endif()
