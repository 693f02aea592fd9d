# The project's compile options, carried by two INTERFACE targets that every
# target links instead of global add_compile_options(), so a target built here
# cannot miss them and a third-party target added later does not inherit them.
#
#   fw_compile_options      warnings for all of our C++ (and -Werror with FWPROG_WERROR)
#   fw_qt_compile_options   the above plus Qt's strict-string settings, for the window's code
#
# Every warning named below is met by the code as it is; none is left out.

option(FWPROG_WERROR "Treat compiler warnings as errors" OFF)

add_library(fw_compile_options INTERFACE)
target_compile_options(fw_compile_options INTERFACE
    -Wall
    -Wextra
    -Wpedantic
    -Wshadow
    -Wnon-virtual-dtor
    -Woverloaded-virtual
    -Wold-style-cast
    -Wconversion
    -Wsign-conversion
)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Dead code: a member function nobody calls, a private field nobody reads.
    target_compile_options(fw_compile_options INTERFACE
        -Wunused-member-function
        -Wunused-private-field
    )
endif()
if(FWPROG_WERROR)
    target_compile_options(fw_compile_options INTERFACE -Werror)
endif()

# Qt's own strictness for the window: no implicit conversions between 8-bit
# strings and QString (each one says which codec it means), no narrowing in
# signal-slot connections, no QUrl made from a bare string, and QStringBuilder
# for concatenations.
add_library(fw_qt_compile_options INTERFACE)
target_link_libraries(fw_qt_compile_options INTERFACE fw_compile_options)
target_compile_definitions(fw_qt_compile_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_FOREACH
    QT_NO_KEYWORDS
)

option(FWPROG_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(FWPROG_SANITIZE)
    target_compile_options(fw_compile_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(fw_compile_options INTERFACE -fsanitize=address,undefined)
endif()

option(FWPROG_FUZZ "Build only the engine libraries and the libFuzzer targets (clang)" OFF)
if(FWPROG_FUZZ)
    # Every library is instrumented for coverage; the targets add the fuzzer driver.
    target_compile_options(fw_compile_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
    target_link_options(fw_compile_options INTERFACE -fsanitize=address,undefined)
endif()
