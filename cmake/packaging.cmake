# Installation layout, the Debian package, and the tests of the manual page and the package.
include(GNUInstallDirs)

set(TOVRELA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# The manual page, compressed as Debian keeps them (no name or time stamp inside, so the
# package stays the same from build to build).
set(TOVRELA_MAN_PAGE_SOURCE ${TOVRELA_PACKAGING_DIR}/tovrela-update.1)
set(TOVRELA_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/packaging/tovrela-update.1.gz)
add_custom_command(
    OUTPUT ${TOVRELA_MAN_PAGE_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${TOVRELA_MAN_PAGE_SOURCE}
            ${TOVRELA_MAN_PAGE_GZ}
    DEPENDS ${TOVRELA_MAN_PAGE_SOURCE}
    COMMENT "Compressing the manual page"
    VERBATIM)
add_custom_target(tovrela_man_page ALL DEPENDS ${TOVRELA_MAN_PAGE_GZ})

install(TARGETS tovrela-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tovrela-sim)
    install(TARGETS tovrela-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET tovrela_fastclock)
    # Private to the virtual hub, which preloads it into the tool for --fast.
    install(TARGETS tovrela_fastclock LIBRARY DESTINATION lib/tovrela-update)
endif()
install(FILES ${TOVRELA_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The udev rule is a template with placeholder ids, so it goes with the documentation and
# not into the rules directory, where it would match nothing.
install(FILES ${TOVRELA_PACKAGING_DIR}/update.ini ${TOVRELA_PACKAGING_DIR}/70-tovrela-update.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrela-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tovrela-update maintainers <tovrela-update@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware update tool for Tovrela chips behind a USB hub's I2C bridge")
# One paragraph, wrapped for the package's control file.
set(CPACK_PACKAGE_DESCRIPTION
    "tovrela-update writes the flash of a Tovrela chip that sits behind a USB hub's
I2C bridge, reads the chip's version or the version stored in a firmware image,
checks whether an update is available, and runs a self test. It is driven by a
profile file, update.ini, and options on the command line, and reports its
result through its exit status.")
if(TARGET tovrela-sim)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "
The package also holds tovrela-sim, a virtual hub with a simulated chip for
trying the tool, its profiles and scripts without hardware.")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.16)")
if(TARGET tovrela-sim)
    # Only the virtual hub needs umockdev; the tool itself runs without it.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libumockdev0 (>= 0.17), umockdev (>= 0.17)")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

if(TOVRELA_BUILD_TESTS)
    set(TOVRELA_PACKAGE_TESTS ${PROJECT_SOURCE_DIR}/test/package)
    add_test(NAME package.man_page_lint
             COMMAND bash ${TOVRELA_PACKAGE_TESTS}/lint_man_page.sh ${TOVRELA_MAN_PAGE_SOURCE})
    add_test(NAME package.help_and_version
             COMMAND bash ${TOVRELA_PACKAGE_TESTS}/test_help_version.sh
                     $<TARGET_FILE:tovrela-update> ${PROJECT_VERSION})
    if(TARGET tovrela-sim)
        set(TOVRELA_PACKAGE_HAS_SIM 1)
    else()
        set(TOVRELA_PACKAGE_HAS_SIM 0)
    endif()
    add_test(NAME package.deb_install_and_run
             COMMAND bash ${TOVRELA_PACKAGE_TESTS}/test_deb_package.sh ${CMAKE_CPACK_COMMAND}
                     ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${TOVRELA_PACKAGE_HAS_SIM})
    # Packing installs the whole build tree.
    set_tests_properties(package.deb_install_and_run PROPERTIES TIMEOUT 600)
endif()
