# Installation layout and the package tests. The Debian packages themselves are built by
# debhelper from debian/ (scripts/package).
set(TOVRELA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TOVRELA_DATA_SUBDIR ${CMAKE_INSTALL_DATADIR}/tovrela-update)

install(TARGETS tovrela-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TOVRELA_PACKAGING_DIR}/tovrela-update.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# tovrela-line beside the tool: its default --tool is the tovrela-update in its own folder.
install(TARGETS tovrela-line RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TOVRELA_PACKAGING_DIR}/tovrela-line.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The udev rule is a template with placeholder ids, so it goes beside the example profile and not
# into the rules directory, where it would match nothing.
install(FILES ${TOVRELA_PACKAGING_DIR}/update.ini ${TOVRELA_PACKAGING_DIR}/70-tovrela-update.rules
        DESTINATION ${TOVRELA_DATA_SUBDIR})
if(TARGET tovrela-sim)
    install(TARGETS tovrela-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Private to the virtual hub, which finds it in ../lib/tovrela-update beside its own folder.
    install(TARGETS tovrela_fastclock tovrela_eventsocket LIBRARY DESTINATION lib/tovrela-update)
    install(FILES ${TOVRELA_PACKAGING_DIR}/tovrela-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(TOVRELA_BUILD_TESTS)
    set(TOVRELA_PACKAGE_TESTS bash ${PROJECT_SOURCE_DIR}/test/package/package_tests.sh)
    add_test(NAME package.man_page_lint
             COMMAND ${TOVRELA_PACKAGE_TESTS} man-pages ${PROJECT_SOURCE_DIR}
                     $<TARGET_FILE:tovrela-update> ${TOVRELA_PACKAGING_DIR}/tovrela-update.1
                     ${TOVRELA_PACKAGING_DIR}/tovrela-sim.1 ${TOVRELA_PACKAGING_DIR}/tovrela-line.1)
    add_test(NAME package.help_and_version
             COMMAND ${TOVRELA_PACKAGE_TESTS} help-version $<TARGET_FILE:tovrela-update>
                     ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR})
    set_tests_properties(package.man_page_lint package.help_and_version PROPERTIES LABELS package)
    # Builds both packages twice from a copy of the source tree and uses nothing of this build,
    # so a sanitizer build leaves it to the plain one.
    if(NOT TOVRELA_SANITIZE)
        add_test(NAME package.deb_install_and_run
                 COMMAND ${TOVRELA_PACKAGE_TESTS} deb ${PROJECT_SOURCE_DIR}
                         ${PROJECT_BINARY_DIR}/package-test)
        set_tests_properties(package.deb_install_and_run PROPERTIES LABELS package TIMEOUT 1200
                                                                    RUN_SERIAL TRUE)
    endif()
endif()
