# What Debian asks of a .deb beside the programs, as lintian checks it: the
# manual pages compressed with gzip -9n (no name and no time stamp, so
# that two builds give the same bytes); the licence as the copyright file,
# in Debian's machine-readable form; a changelog, changelog.gz, as a
# native package has it (the version has no Debian revision); and, for
# static programs, lintian's override of its word on them. These files are
# the component "debian", which only the .deb installs; it leaves out the
# component "plain" (the plain pages and LICENSE) in their place.
#
# debian/changelog needs an entry for each new version project() gives;
# .ci/package-check.sh checks that its latest entry is that version's.
#
# Included by packaging.cmake when it makes a .deb.

find_program(DISC_MANIFEST_GZIP gzip)
if(NOT DISC_MANIFEST_GZIP)
  message(FATAL_ERROR "gzip not found: the .deb's manual pages and changelog need it")
endif()

set(disc_manifest_debian_dir "${PROJECT_BINARY_DIR}/debian")

# The copyright file: the notice, and the licence's terms as a paragraph of
# their own, each line indented by a space and an empty line written " .".
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" disc_manifest_licence)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
string(FIND "${disc_manifest_licence}" "Permission is hereby granted" disc_manifest_terms_at)
if(disc_manifest_terms_at EQUAL -1)
  message(FATAL_ERROR "LICENSE holds no MIT licence terms")
endif()
string(SUBSTRING "${disc_manifest_licence}" ${disc_manifest_terms_at} -1 disc_manifest_terms)
string(STRIP "${disc_manifest_terms}" disc_manifest_terms)
string(REPLACE "\n\n" "\n.\n" disc_manifest_terms "${disc_manifest_terms}")
string(REPLACE "\n" "\n " DISC_MANIFEST_LICENSE_TERMS " ${disc_manifest_terms}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in" "${disc_manifest_debian_dir}/copyright" @ONLY)

# The gzipped pages and changelog, made by the build.
set(disc_manifest_gzipped)
set(disc_manifest_sources "${CMAKE_CURRENT_LIST_DIR}/debian/changelog")
set(disc_manifest_pages)
foreach(program ${DISC_MANIFEST_PROGRAMS})
  list(APPEND disc_manifest_sources "${PROJECT_BINARY_DIR}/man/${program}.1")
  list(APPEND disc_manifest_pages "${disc_manifest_debian_dir}/${program}.1.gz")
endforeach()
foreach(source ${disc_manifest_sources})
  get_filename_component(name "${source}" NAME)
  add_custom_command(
    OUTPUT "${disc_manifest_debian_dir}/${name}.gz"
    COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${disc_manifest_debian_dir}/${name}"
    COMMAND "${DISC_MANIFEST_GZIP}" -9nf "${disc_manifest_debian_dir}/${name}"
    DEPENDS "${source}"
    VERBATIM)
  list(APPEND disc_manifest_gzipped "${disc_manifest_debian_dir}/${name}.gz")
endforeach()
add_custom_target(disc_manifest_debian_files ALL DEPENDS ${disc_manifest_gzipped})

install(FILES ${disc_manifest_pages}
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES "${disc_manifest_debian_dir}/copyright" "${disc_manifest_debian_dir}/changelog.gz"
        DESTINATION "${DISC_MANIFEST_INSTALL_DOCDIR}" COMPONENT debian EXCLUDE_FROM_ALL)
if(DISC_MANIFEST_LINK_STATIC)
  # One line a program built.
  file(READ "${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides" disc_manifest_overrides)
  foreach(program ${DISC_MANIFEST_PROGRAMS})
    if(NOT program STREQUAL "disc-catalog" OR DISC_MANIFEST_CATALOG_STATIC)
      string(APPEND disc_manifest_overrides "disc-manifest: statically-linked-binary [usr/bin/${program}]\n")
    endif()
  endforeach()
  file(WRITE "${disc_manifest_debian_dir}/lintian-overrides" "${disc_manifest_overrides}")
  install(FILES "${disc_manifest_debian_dir}/lintian-overrides"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME disc-manifest
          COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# CPack reads this file once for each package it makes: the .deb installs
# the default component (the programs and README.md) and "debian"; the
# .tar.gz, as cmake --install, all but "debian".
file(WRITE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake"
     "if(CPACK_GENERATOR STREQUAL \"DEB\")\n"
     "  set(CPACK_INSTALL_CMAKE_PROJECTS\n"
     "      \"${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/;${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/\")\n"
     "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake")
