# Shared build settings: one INTERFACE target with the warning and sanitizer flags
# that every library, executable and test links, and the test helper.

# The crawler names it in its User-Agent, so site owners can read what visits them.
set(LARKSPIN_README_URL "https://larkspin.example/README" CACHE STRING
    "Address of the README that the crawler's User-Agent points site owners to")
option(LARKSPIN_SANITIZE "Build everything with AddressSanitizer and UBSan" OFF)

add_library(larkspin_flags INTERFACE)
target_compile_options(larkspin_flags INTERFACE -Wall -Wextra)
target_compile_definitions(larkspin_flags INTERFACE
    QT_NO_FOREACH
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060000
    LARKSPIN_VERSION="${PROJECT_VERSION}"
    LARKSPIN_README_URL="${LARKSPIN_README_URL}")
if(LARKSPIN_SANITIZE)
    target_compile_options(larkspin_flags INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(larkspin_flags INTERFACE -fsanitize=address,undefined)
endif()

# larkspin_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [ENV VAR=value ...] [TIMEOUT s]
#                   [LAUNCHER command ...])
# Makes tst_<name>, links QtTest and the given libraries, and registers it with CTest, run
# through LAUNCHER when given (e.g. dbus-run-session --).
# Widgets render offscreen, audio goes to SDL's dummy driver and no test reaches the desktop's
# session bus unless ENV (or a LAUNCHER that starts a bus) says otherwise.
function(larkspin_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;LABELS;LAUNCHER" ${ARGN})
    add_executable(tst_${T_NAME} ${T_SOURCES})
    target_link_libraries(tst_${T_NAME} PRIVATE Qt6::Test larkspin_flags ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_LAUNCHER} $<TARGET_FILE:tst_${T_NAME}>)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT
            "QT_QPA_PLATFORM=offscreen;SDL_AUDIODRIVER=dummy;DBUS_SESSION_BUS_ADDRESS=disabled:;${T_ENV}")
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
