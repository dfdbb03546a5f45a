# What is installed, and the packages made of it by CPack: a .deb on Linux, a .zip on Windows.
include(GNUInstallDirs)

set(GUARDGEN_MAINTAINER "The guardgen developers <guardgen@example.org>")

# The companions installed beside guardgen, and the packages of their modules (each companion's
# own, and the one they share).
set(GUARDGEN_COMPANIONS tools/compare-preprocessors tools/check-guards)
set(GUARDGEN_COMPANION_MODULES tools/compare_preprocessors tools/check_guards tools/guardgen_common)

if(WIN32)
    install(TARGETS guardgen RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    # The companion runs wherever Python does, and finds guardgen.exe and its modules beside it.
    install(PROGRAMS ${GUARDGEN_COMPANIONS} DESTINATION .)
    install(DIRECTORY ${GUARDGEN_COMPANION_MODULES} DESTINATION .
            FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
    set(CPACK_GENERATOR ZIP)
    # guardgen-VERSION-win32.zip or guardgen-VERSION-win64.zip.
    math(EXPR GUARDGEN_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
    set(CPACK_SYSTEM_NAME win${GUARDGEN_WINDOWS_BITS})
else()
    install(TARGETS guardgen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Without the compiler's notes, as Debian strips its programs (the strip that CPack runs
    # leaves them).
    if(CMAKE_OBJCOPY)
        install(CODE "
            set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/guardgen\")
            execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                    --remove-section=.note \"\${program}\" RESULT_VARIABLE failed)
            if(failed)
                message(FATAL_ERROR \"objcopy \${program} failed\")
            endif()")
    endif()
    install(PROGRAMS ${GUARDGEN_COMPANIONS} DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The companions' modules, where they look for them: ../share/guardgen from their directory.
    install(DIRECTORY ${GUARDGEN_COMPANION_MODULES} DESTINATION ${CMAKE_INSTALL_DATADIR}/guardgen
            FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

    # Compressed the way Debian wants it: best compression, no name or time stamp in the file.
    find_program(GUARDGEN_GZIP gzip REQUIRED)
    function(gzip_for_debian file)
        execute_process(COMMAND ${GUARDGEN_GZIP} -9nkf ${file} RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "gzip ${file} failed")
        endif()
    endfunction()

    # The man pages as installed carry the project's version in their footer.
    foreach(name guardgen compare-preprocessors check-guards)
        set(man_page ${PROJECT_SOURCE_DIR}/doc/${name}.1)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${man_page})
        file(READ ${man_page} page)
        string(REPLACE "\"guardgen\" \"User Commands\""
               "\"guardgen ${PROJECT_VERSION}\" \"User Commands\"" versioned_page "${page}")
        if(versioned_page STREQUAL page)
            message(FATAL_ERROR "${man_page}: its .TH line has no \"guardgen\" footer to version")
        endif()
        file(WRITE ${PROJECT_BINARY_DIR}/${name}.1 "${versioned_page}")
        gzip_for_debian(${PROJECT_BINARY_DIR}/${name}.1)
        install(FILES ${PROJECT_BINARY_DIR}/${name}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()

    # CHANGELOG.md in the Debian changelog's form, which a native package carries as changelog.gz.
    set(changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
    execute_process(
        COMMAND awk -v package=guardgen -v "maintainer=${GUARDGEN_MAINTAINER}"
                -f ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk ${changelog}
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog
        RESULT_VARIABLE failed)
    file(STRINGS ${PROJECT_BINARY_DIR}/changelog latest LIMIT_COUNT 1)
    if(failed OR NOT latest MATCHES "^guardgen \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "${changelog}: its first section is not ${PROJECT_VERSION}")
    endif()
    gzip_for_debian(${PROJECT_BINARY_DIR}/changelog)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME guardgen)
set(CPACK_PACKAGE_VENDOR "The guardgen developers")
set(CPACK_PACKAGE_CONTACT "${GUARDGEN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Wrapped for the package's control file.
set(CPACK_PACKAGE_DESCRIPTION [[guardgen writes a pair of headers, guard.h with an include guard and
noguard.h without, and for each count given three C sources that include a
header that many times: with an external guard around each include, with
bare includes of the guarded header, and with bare includes of the
unguarded one. Preprocessing them shows how a C preprocessor copes with
one header included many times. With it come compare-preprocessors,
which times preprocessors on those files and says which skip a guarded
header, and check-guards, which asks the compiler of a real build which
headers it reads again, and says why.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# compare-preprocessors needs Python 3.10 or later; its plots need matplotlib, and it needs a
# preprocessor to time. The program's own libraries come from dpkg-shlibdeps where it is found,
# added to these.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= 3.10)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-matplotlib, gcc | clang | tcc | mcpp")
find_program(GUARDGEN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(GUARDGEN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libgcc-s1, libstdc++6")
endif()

include(CPack)
