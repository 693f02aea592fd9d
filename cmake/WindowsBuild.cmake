# The Windows build: the platform, engine, fleet and command-line libraries,
# fwprog.exe, and the tests that need neither the simulator nor the window
# (both stay Linux programs: the tests run the native simulator beside the
# Windows programs under Wine).

# nlohmann-json is header-only. A cross build takes it from this machine's
# Debian package, giving the cross compiler that one folder alone, never the
# whole of /usr/include, whose system headers are Linux's.
find_package(nlohmann_json 3 QUIET)
if(NOT TARGET nlohmann_json::nlohmann_json)
    set(FWPROG_JSON_STAGING ${PROJECT_BINARY_DIR}/staging/include)
    file(MAKE_DIRECTORY ${FWPROG_JSON_STAGING})
    find_path(FWPROG_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
        NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(CREATE_LINK ${FWPROG_JSON_DIR}/nlohmann ${FWPROG_JSON_STAGING}/nlohmann SYMBOLIC)
    add_library(nlohmann_json INTERFACE)
    target_include_directories(nlohmann_json SYSTEM INTERFACE ${FWPROG_JSON_STAGING})
    add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)
endif()

add_subdirectory(platform)
add_subdirectory(engine)
add_subdirectory(fleet)
add_subdirectory(cli)

# The window, where Qt 6 for Windows is at hand: a build on Windows itself
# (see the README). CI has no Qt for Windows and leaves it out.
option(FWPROG_WINDOWS_WINDOW "Build the window (needs Qt 6 for Windows)" OFF)
if(FWPROG_WINDOWS_WINDOW)
    find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)
    add_subdirectory(res)
    add_subdirectory(app)
    set_target_properties(firmware-programmer PROPERTIES WIN32_EXECUTABLE ON)
endif()

option(FWPROG_WINDOWS_TESTS "Build the tests for Windows (GoogleTest from /usr/src/googletest)" ON)
if(FWPROG_WINDOWS_TESTS)
    add_subdirectory(tests/windows)
endif()
