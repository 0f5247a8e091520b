# Installing and packaging disc-manifest, disc-verify and disc-catalog (where
# SQLite was found), all on the version project() gives.
#
#   cmake --install BUILD [--prefix P]   the programs in P/bin, their manual
#                                        pages in P/share/man/man1, README.md
#                                        and LICENSE in P/share/doc/disc-manifest,
#                                        the guides in its docs/, bash completions
#                                        in P/share/bash-completion/completions;
#                                        on Windows, the programs, README.txt
#                                        and LICENSE.txt in P itself, the
#                                        guides in P/docs
#   cpack --config BUILD/CPackConfig.cmake   (or: cmake --build BUILD --target package)
#       Linux:   disc-manifest-VERSION-Linux-CPU.tar.gz, the same files as
#                cmake --install, and disc-manifest_VERSION_ARCH.deb, where
#                the pages are gzipped and the licence is Debian's copyright
#                file, with a changelog beside it
#       Windows: disc-manifest-VERSION-win32.zip or -win64.zip: the programs,
#                README.txt and LICENSE.txt (README.md and LICENSE with CR LF
#                line ends) and docs/*.md (with CR LF line ends too)
#
# Only the programs are installed: never the tests, the benchmark or the
# libraries they share.

include(GNUInstallDirs)

set(DISC_MANIFEST_PROGRAMS disc-manifest disc-verify)
if(DISC_MANIFEST_HAVE_CATALOG)
  list(APPEND DISC_MANIFEST_PROGRAMS disc-catalog)
endif()

# Where README.md goes: the package's own folder, named as the package is
# (the project's name, disc_manifest, is not the package's).
set(DISC_MANIFEST_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/disc-manifest")

# The guides README.md links to, installed in docs/ beside it so that its
# links work where it is read.
file(GLOB DISC_MANIFEST_GUIDES RELATIVE "${PROJECT_SOURCE_DIR}" CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.md")

if(WIN32)
  # A zip that is unpacked and run: the programs, README.txt and LICENSE.txt
  # side by side in its one folder. Windows has no manual pages; README.txt
  # stands for them.
  install(TARGETS ${DISC_MANIFEST_PROGRAMS} RUNTIME DESTINATION .)
  set(disc_manifest_texts README.md:README.txt LICENSE:LICENSE.txt)
  foreach(guide ${DISC_MANIFEST_GUIDES})
    list(APPEND disc_manifest_texts "${guide}:${guide}")
  endforeach()
  foreach(text ${disc_manifest_texts})
    string(REPLACE ":" ";" text "${text}")
    list(GET text 0 source)
    list(GET text 1 target)
    file(READ "${PROJECT_SOURCE_DIR}/${source}" disc_manifest_text)
    string(REPLACE "\r\n" "\n" disc_manifest_text "${disc_manifest_text}")
    string(REPLACE "\n" "\r\n" disc_manifest_text "${disc_manifest_text}")
    file(WRITE "${PROJECT_BINARY_DIR}/${target}" "${disc_manifest_text}")
    # Made again whenever the source changes.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${source}")
    get_filename_component(folder "${target}" DIRECTORY)
    if(folder STREQUAL "")
      set(folder .)
    endif()
    install(FILES "${PROJECT_BINARY_DIR}/${target}" DESTINATION "${folder}")
  endforeach()
else()
  install(TARGETS ${DISC_MANIFEST_PROGRAMS} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${DISC_MANIFEST_INSTALL_DOCDIR}")
  set(guides ${DISC_MANIFEST_GUIDES})
  list(TRANSFORM guides PREPEND "${PROJECT_SOURCE_DIR}/")
  install(FILES ${guides} DESTINATION "${DISC_MANIFEST_INSTALL_DOCDIR}/docs")
  # The pages name the version as @PROJECT_VERSION@; the build folder gets
  # them with the number filled in. They and LICENSE are the component
  # "plain": the .deb has its own forms of them (debian.cmake).
  foreach(program ${DISC_MANIFEST_PROGRAMS})
    set(page ${program}.1)
    configure_file("${PROJECT_SOURCE_DIR}/man/${page}" "${PROJECT_BINARY_DIR}/man/${page}" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/man/${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
            COMPONENT plain)
  endforeach()
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${DISC_MANIFEST_INSTALL_DOCDIR}"
          COMPONENT plain)
  # bash completion, where bash-completion looks for it below the prefix,
  # so that a user's or a staged install gets it too.
  foreach(program ${DISC_MANIFEST_PROGRAMS})
    install(FILES "${PROJECT_SOURCE_DIR}/completions/${program}"
            DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions")
  endforeach()
endif()

# The packages. Their maintainer is whoever builds them, named as
# Debian's own tools (dch, debmake) name one: DEBFULLNAME and DEBEMAIL (or
# NAME and EMAIL) from the environment, DEBEMAIL possibly "NAME <EMAIL>"
# itself; else the user building, at this machine's name.
if(DEFINED ENV{DEBEMAIL} AND "$ENV{DEBEMAIL}" MATCHES "<.+@.+>")
  set(disc_manifest_maintainer "$ENV{DEBEMAIL}")
else()
  set(disc_manifest_maintainer_email "$ENV{DEBEMAIL}")
  if(disc_manifest_maintainer_email STREQUAL "")
    set(disc_manifest_maintainer_email "$ENV{EMAIL}")
  endif()
  set(disc_manifest_maintainer_name "$ENV{DEBFULLNAME}")
  if(disc_manifest_maintainer_name STREQUAL "")
    set(disc_manifest_maintainer_name "$ENV{NAME}")
  endif()
  if(disc_manifest_maintainer_email STREQUAL "")
    set(disc_manifest_maintainer_user "$ENV{USER}")
    if(disc_manifest_maintainer_user STREQUAL "")
      set(disc_manifest_maintainer_user "$ENV{LOGNAME}")
    endif()
    if(disc_manifest_maintainer_user STREQUAL "")
      set(disc_manifest_maintainer_user packager)
    endif()
    cmake_host_system_information(RESULT disc_manifest_host QUERY FQDN)
    set(disc_manifest_maintainer_email "${disc_manifest_maintainer_user}@${disc_manifest_host}")
  endif()
  if(disc_manifest_maintainer_name STREQUAL "")
    set(disc_manifest_maintainer_name "disc-manifest packager")
  endif()
  set(disc_manifest_maintainer "${disc_manifest_maintainer_name} <${disc_manifest_maintainer_email}>")
endif()
set(DISC_MANIFEST_PACKAGE_CONTACT "${disc_manifest_maintainer}"
    CACHE STRING "The maintainer named in the packages: NAME <EMAIL> (default: DEBFULLNAME and DEBEMAIL)")

set(CPACK_PACKAGE_NAME disc-manifest)
set(CPACK_PACKAGE_VENDOR "disc-manifest maintainers")
set(CPACK_PACKAGE_CONTACT "${DISC_MANIFEST_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make, check and catalogue MD5 manifests of discs and folder trees")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "disc-manifest asks for the root of a disc or folder tree, a description\n"
       "and where to save the manifest, walks the tree depth first and writes an\n"
       "XML-like manifest with the relative path, size and MD5 digest of every\n"
       "file. disc-verify checks a tree, or a second manifest, against such a\n"
       "manifest and reports each file as OK, changed, unreadable, moved, missing\n"
       "or new. disc-catalog keeps many manifests in one SQLite catalog and tells\n"
       "which disc holds a file, where a loose file came from, which disc is in\n"
       "the drive, and which content one disc alone holds.")
set(CPACK_STRIP_FILES ON)

# The processor the programs are built for, in each naming: a 32-bit build
# on a 64-bit x86 machine (-m32) is for i686, whatever the machine is.
set(disc_manifest_cpu "${CMAKE_SYSTEM_PROCESSOR}")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND disc_manifest_cpu MATCHES "^(x86_64|AMD64|amd64)$")
  set(disc_manifest_cpu i686)
endif()

if(WIN32)
  # CPack names the zip disc-manifest-VERSION-win32.zip or -win64.zip.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_SYSTEM_NAME "${CMAKE_SYSTEM_NAME}-${disc_manifest_cpu}")
  set(CPACK_GENERATOR TGZ)
  # A .deb, where dpkg-shlibdeps can tell its dependencies.
  find_program(DISC_MANIFEST_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND DISC_MANIFEST_DPKG_SHLIBDEPS)
    list(APPEND CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # disc-manifest_VERSION_ARCH.deb
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # None for the static programs; the C and C++ run-time libraries where
    # they are linked dynamically.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # libpq, which disc-catalog loads only for a catalog on a server: a
    # machine that keeps catalog files alone goes without it.
    if(DISC_CATALOG_HAVE_POSTGRES)
      set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libpq5)
    endif()
    # Without a setting, CPack asks dpkg, which tells the machine's
    # architecture; the x86 builds say their own.
    if(disc_manifest_cpu MATCHES "^(x86_64|AMD64|amd64)$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    elseif(disc_manifest_cpu MATCHES "^i[3-6]86$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
    endif()
    include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(STATUS "dpkg-shlibdeps not found (Debian: dpkg-dev): cpack makes no .deb")
  endif()
endif()

include(CPack)
