# Writes fwprog's bash completion from the program's own --help texts, so the
# completion offers exactly the commands and options those texts name.
#
#   cmake -DFWPROG=path/to/fwprog [-DEMULATOR=runner] -DTEMPLATE=fwprog.bash.in
#         -DOUTPUT=fwprog -DOPTIONS_OUTPUT=fwprog-options.txt -P generate.cmake
#
# What it reads from the texts:
#   fwprog --help            the "Commands:" block (one command a line, indented
#                            by two spaces) and the lines "  fwprog --OPTION"
#   fwprog COMMAND --help    the "usage: fwprog COMMAND ..." line and every line
#                            that starts with an option ("  --name VALUE  text",
#                            "  --long, -s  text")
# An option followed by one word in capitals takes a value: FILE, PATH and LOG are
# completed with file names, TARGET with this computer's print queues, NAME with
# its network interfaces, any other (N, MS, ADDR) is left to the user. A word in
# capitals right after the command in the usage line ("TARGET...") names what the
# command takes besides its options, completed the same way.
# OPTIONS_OUTPUT lists "COMMAND OPTION KIND" a line for the tests.

cmake_minimum_required(VERSION 3.25)

foreach(required FWPROG TEMPLATE OUTPUT OPTIONS_OUTPUT)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "generate.cmake needs -D${required}=...")
    endif()
endforeach()

function(fwprog_text out)
    execute_process(COMMAND ${EMULATOR} "${FWPROG}" ${ARGN}
        OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "`fwprog ${ARGN}` failed (${status}): ${error}")
    endif()
    # Brackets and semicolons carry list meaning in CMake; no name this script
    # looks for contains one, so they become spaces.
    string(REGEX REPLACE "[][;]" " " text "${text}")
    set(${out} "\n${text}" PARENT_SCOPE)
endfunction()

# "--name" and "-n" words of one matched piece of text.
function(option_names out piece)
    string(REGEX MATCHALL "(^|[ ,])--?[a-z][a-z0-9-]*" names "${piece}")
    list(TRANSFORM names REPLACE "^[ ,]" "")
    set(${out} ${names} PARENT_SCOPE)
endfunction()

function(value_kind out piece)
    if(piece MATCHES " (FILE|PATH|LOG)([ \n]|$)")
        set(kind file)
    elseif(piece MATCHES " TARGET([ \n.]|$)")
        set(kind target)
    elseif(piece MATCHES " NAME([ \n]|$)")
        set(kind interface)
    elseif(piece MATCHES " [A-Z][A-Z_|]*([ \n]|$)")
        set(kind value)
    else()
        set(kind flag)
    endif()
    set(${out} ${kind} PARENT_SCOPE)
endfunction()

fwprog_text(main --help)
fwprog_text(version_text --version)
string(STRIP "${version_text}" version_text)

string(FIND "${main}" "\nCommands:\n" at)
if(at EQUAL -1)
    message(FATAL_ERROR "`fwprog --help` has no \"Commands:\" block")
endif()
string(SUBSTRING "${main}" ${at} -1 block)
string(SUBSTRING "${block}" 10 -1 block)  # after "\nCommands:"
string(FIND "${block}" "\n\n" end)
string(SUBSTRING "${block}" 0 ${end} block)
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" commands "${block}")
list(TRANSFORM commands REPLACE "^\n  " "")
if(NOT commands)
    message(FATAL_ERROR "no commands in the \"Commands:\" block of `fwprog --help`")
endif()

string(REGEX MATCHALL "\n  fwprog --?[a-z][a-z0-9-]*" top_options "${main}")
list(TRANSFORM top_options REPLACE "^\n  fwprog " "")
list(PREPEND top_options --help)
list(REMOVE_DUPLICATES top_options)
# "fwprog COMMAND --help" in the main text: every command takes --help.
set(command_help OFF)
if(main MATCHES "\n  fwprog COMMAND --help")
    set(command_help ON)
endif()

set(options_cases "")
set(positional_cases "")
set(kind_cases "")
set(options_list "")
foreach(command ${commands})
    fwprog_text(text ${command} --help)
    string(REGEX MATCH "\nusage: fwprog ${command}( [^\n]*)?" usage "${text}")
    if(NOT usage)
        message(FATAL_ERROR "`fwprog ${command} --help` has no \"usage: fwprog ${command}\" line")
    endif()
    string(REPLACE "usage: fwprog ${command}" "" usage "${usage}")
    if(usage MATCHES "^\n? ([A-Z][A-Z_|]*)(\\.\\.\\.)?( |$)")
        value_kind(positional_kind " ${CMAKE_MATCH_1}")
        string(APPEND positional_cases "        ${command}) REPLY='${positional_kind}' ;;\n")
    endif()
    # The usage line holds nothing but names and value words.
    string(REGEX MATCHALL "--?[a-z][a-z0-9-]*( [A-Z][A-Z_|]*)?" pieces "${usage}")
    # Option lines; a capital word after the name counts as its value only when
    # a space or the line's end follows ("--yes Do not ask" has none). Lines are
    # doubled apart so that one match's end never takes the next one's start.
    string(REPLACE "\n" "\n\n" text "${text}")
    string(REGEX MATCHALL
        "\n +--?[a-z][a-z0-9-]*(, --?[a-z][a-z0-9-]*)*( [A-Z][A-Z_|]*)?([ \n]|$)" lines "${text}")
    list(APPEND pieces ${lines})
    if(command_help)
        list(APPEND pieces " --help")
    endif()

    set(options "")
    foreach(piece ${pieces})
        option_names(names "${piece}")
        value_kind(kind "${piece}")
        foreach(name ${names})
            if(NOT name IN_LIST options)
                list(APPEND options ${name})
                set(kind_${command}_${name} ${kind})
            endif()
        endforeach()
    endforeach()

    list(JOIN options " " joined)
    string(APPEND options_cases "        ${command}) REPLY='${joined}' ;;\n")
    foreach(name ${options})
        set(kind ${kind_${command}_${name}})
        string(APPEND options_list "${command} ${name} ${kind}\n")
        if(NOT kind STREQUAL flag)
            string(APPEND kind_cases "        '${command} ${name}') REPLY='${kind}' ;;\n")
        endif()
    endforeach()
endforeach()

list(JOIN commands " " FWPROG_COMMANDS)
list(JOIN top_options " " FWPROG_TOP_OPTIONS)
set(FWPROG_VERSION_TEXT "${version_text}")
set(FWPROG_OPTIONS_CASES "${options_cases}")
set(FWPROG_KIND_CASES "${kind_cases}")
set(FWPROG_POSITIONAL_CASES "${positional_cases}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
file(WRITE ${OPTIONS_OUTPUT} "${options_list}")
