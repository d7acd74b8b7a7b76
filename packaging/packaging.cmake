# What the packages hold and how CPack builds them (cmake --build BUILD
# --target package): in the Linux build the Debian package kt3916flash, in
# the Windows build the portable zip KT3916Flash-VERSION-win32.zip (-win64 from
# the x86_64 build).

# One version for the programs, the packages and the changelog.
file(STRINGS ${CMAKE_SOURCE_DIR}/res/app_name.h KT_VERSION_LINE REGEX "KT_APP_VERSION_TEXT")
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog KT_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT KT_VERSION_LINE MATCHES "\"${PROJECT_VERSION}\"" OR
   NOT KT_CHANGELOG_TOP MATCHES "^kt3916flash \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "project(VERSION ${PROJECT_VERSION}) differs from res/app_name.h "
                      "(${KT_VERSION_LINE}) or the top of packaging/changelog (${KT_CHANGELOG_TOP})")
endif()

set(KT_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KT3916Flash developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a firmware image into KT3916 devices")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS KT3916Flash kt3916flash-cli RUNTIME DESTINATION .)
  configure_file(${KT_PACKAGING_DIR}/README-win32.txt.in ${CMAKE_BINARY_DIR}/packaging/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME KT3916Flash)
  set(CPACK_PACKAGE_FILE_NAME KT3916Flash-${PROJECT_VERSION}-${KT_WINDOWS_PLATFORM})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(KT_UDEV_RULES_DIR /lib/udev/rules.d CACHE PATH "where the package puts its udev rule")
  set(KT_DOC_DIR share/doc/kt3916flash)

  # Debian ships manual pages and documents compressed, without a name or
  # time stamp in the gzip header.
  set(KT_PACKAGE_DOCS)
  function(kt_gzip source target)
    add_custom_command(OUTPUT ${target} COMMAND gzip -9nc ${source} > ${target}
                       DEPENDS ${source} VERBATIM)
    set(KT_PACKAGE_DOCS ${KT_PACKAGE_DOCS} ${target} PARENT_SCOPE)
  endfunction()
  set(KT_OUT ${CMAKE_BINARY_DIR}/packaging)
  foreach(page kt3916flash-cli kt3916flash-emulator)
    configure_file(${KT_PACKAGING_DIR}/${page}.1.in ${KT_OUT}/${page}.1 @ONLY)
    kt_gzip(${KT_OUT}/${page}.1 ${KT_OUT}/${page}.1.gz)
  endforeach()
  kt_gzip(${KT_PACKAGING_DIR}/changelog ${KT_OUT}/changelog.gz)
  kt_gzip(${CMAKE_SOURCE_DIR}/README.md ${KT_OUT}/README.md.gz)
  add_custom_target(kt_package_docs ALL DEPENDS ${KT_PACKAGE_DOCS})

  install(TARGETS kt3916flash-cli kt3916flash-emulator RUNTIME DESTINATION bin)
  install(FILES ${KT_OUT}/kt3916flash-cli.1.gz ${KT_OUT}/kt3916flash-emulator.1.gz DESTINATION share/man/man1)
  install(FILES ${KT_PACKAGING_DIR}/kt3916flash-cli.bash-completion
          DESTINATION share/bash-completion/completions RENAME kt3916flash-cli)
  install(FILES ${KT_PACKAGING_DIR}/60-kt3916flash.rules DESTINATION ${KT_UDEV_RULES_DIR})
  install(FILES ${KT_PACKAGING_DIR}/copyright ${KT_OUT}/changelog.gz ${KT_OUT}/README.md.gz
                ${CMAKE_SOURCE_DIR}/doc/reference.md DESTINATION ${KT_DOC_DIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kt3916flash)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER
      "KT3916Flash maintainers <maintainers@users.noreply.c-seed-0d28c93c.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack puts the summary first; this is the extended description.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "kt3916flash-cli lists the attached KT3916 devices (CD-ROM-class SCSI
devices), checks a firmware image and writes it into one or all of them
through the SCSI generic driver, then waits for each device to restart with
its new revision. kt3916flash-emulator serves an emulated KT3916 through the
kernel's SCSI target, for rehearsals without hardware. A udev rule gives the
group plugdev read-write access to KT3916 devices, so that its members flash
without root.")
  # One script for both: it applies the rule's current state to attached KT3916s.
  configure_file(${KT_PACKAGING_DIR}/postinst ${CMAKE_BINARY_DIR}/packaging/postrm COPYONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KT_PACKAGING_DIR}/postinst ${CMAKE_BINARY_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
