# SQLite for the Windows programs, built with mingw-w64 from Debian's own
# sqlite3 source package: the version the system's libsqlite3-dev has, so
# that the Windows programs carry the SQLite the Linux programs link.
# cmake/sqlite-source.sh fetches the source and makes sqlite3.c once, into
# $XDG_CACHE_HOME/disc-manifest/ (else $HOME/.cache/disc-manifest/), where
# every later configure finds it without fetching again.
#
# Sets:
#   DISC_MANIFEST_HAVE_SQLITE     ON when SQLite could be had; OFF, and one
#                                 line said why, when it could not
#   DISC_MANIFEST_SQLITE_VERSION  SQLite's version, such as 3.40.1
# and, when ON, the target
#   disc_manifest_sqlite3         SQLite as a static library; linking it puts
#                                 sqlite3.h on the include path

set(DISC_MANIFEST_HAVE_SQLITE OFF)
set(DISC_MANIFEST_SQLITE_VERSION "")

function(disc_manifest_find_sqlite)
  set(log "${PROJECT_BINARY_DIR}/sqlite-source.log")
  if(IS_ABSOLUTE "$ENV{XDG_CACHE_HOME}")
    set(cache "$ENV{XDG_CACHE_HOME}/disc-manifest")
  elseif(NOT "$ENV{HOME}" STREQUAL "")
    set(cache "$ENV{HOME}/.cache/disc-manifest")
  else()
    message(STATUS "No SQLite for Windows: neither XDG_CACHE_HOME nor HOME names a cache folder")
    return()
  endif()
  find_program(DISC_MANIFEST_BASH bash)
  if(NOT DISC_MANIFEST_BASH)
    message(STATUS "No SQLite for Windows: no bash to fetch Debian's sqlite3 source with")
    return()
  endif()
  include(CheckLanguage)
  check_language(C)
  if(NOT CMAKE_C_COMPILER)
    message(STATUS "No SQLite for Windows: no C compiler for Windows")
    return()
  endif()

  # A change to the script makes the next build configure again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${PROJECT_SOURCE_DIR}/cmake/sqlite-source.sh")
  execute_process(COMMAND "${DISC_MANIFEST_BASH}" "${PROJECT_SOURCE_DIR}/cmake/sqlite-source.sh"
                          "${cache}" "${log}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE line)
  # FOLDER TAB NOTE, or the reason it failed; the note may be empty.
  string(REGEX REPLACE "\n$" "" line "${line}")
  if(NOT status EQUAL 0 OR NOT line MATCHES "^([^\t]+)\t(.*)$")
    if(line STREQUAL "")
      set(line "cmake/sqlite-source.sh ended with ${status}")
    endif()
    message(STATUS "No SQLite for Windows: ${line} (log: ${log})")
    return()
  endif()
  set(folder "${CMAKE_MATCH_1}")
  set(note "${CMAKE_MATCH_2}")
  file(STRINGS "${folder}/debian-version" debian_version LIMIT_COUNT 1)
  file(STRINGS "${folder}/sqlite3.h" version_line REGEX "^#define SQLITE_VERSION +\"" LIMIT_COUNT 1)
  string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" version "${version_line}")
  message(STATUS "SQLite ${version} for Windows: from Debian's sqlite3 ${debian_version}${note}, in ${folder}")
  set(DISC_MANIFEST_SQLITE_FOLDER "${folder}" PARENT_SCOPE)
  set(DISC_MANIFEST_SQLITE_VERSION "${version}" PARENT_SCOPE)
  set(DISC_MANIFEST_HAVE_SQLITE ON PARENT_SCOPE)
endfunction()

disc_manifest_find_sqlite()

if(DISC_MANIFEST_HAVE_SQLITE)
  enable_language(C)
  add_library(disc_manifest_sqlite3 STATIC "${DISC_MANIFEST_SQLITE_FOLDER}/sqlite3.c")
  # SQLite is not this project's code: none of the project's warnings, but
  # flags of its own. (The folder's WIN32_LEAN_AND_MEAN and NOMINMAX still
  # apply; they only keep windows.h smaller.)
  set_property(TARGET disc_manifest_sqlite3 PROPERTY COMPILE_OPTIONS -O2 -fno-strict-aliasing)
  set_property(TARGET disc_manifest_sqlite3 PROPERTY COMPILE_DEFINITIONS
    # Any thread may use any connection; no DLL is ever loaded.
    SQLITE_THREADSAFE=1
    SQLITE_OMIT_LOAD_EXTENSION
    # A double-quoted word is a name, never a string: a misspelt column is
    # an error, not a text.
    SQLITE_DQS=0
    SQLITE_DEFAULT_MEMSTATUS=0
    SQLITE_OMIT_DEPRECATED
    # In WAL mode, a commit is atomic and survives a crash of the program
    # without an fsync of its own; a power cut may lose the last commits.
    SQLITE_DEFAULT_WAL_SYNCHRONOUS=1
    # As Debian builds libsqlite3 for Linux, so that the same statements
    # give the same results there and here.
    SQLITE_LIKE_DOESNT_MATCH_BLOBS
    SQLITE_SECURE_DELETE
    SQLITE_USE_URI=1
    SQLITE_MAX_VARIABLE_NUMBER=250000
    SQLITE_MAX_SCHEMA_RETRY=25
    SQLITE_ENABLE_MATH_FUNCTIONS
    SQLITE_ENABLE_FTS3
    SQLITE_ENABLE_FTS3_PARENTHESIS
    SQLITE_ENABLE_FTS4
    SQLITE_ENABLE_FTS5
    SQLITE_ENABLE_RTREE=1
    SQLITE_SOUNDEX=1
    SQLITE_ENABLE_COLUMN_METADATA
    SQLITE_ENABLE_DBSTAT_VTAB
    SQLITE_ENABLE_STMTVTAB
    SQLITE_ENABLE_UNLOCK_NOTIFY
    SQLITE_ENABLE_PREUPDATE_HOOK
    SQLITE_ENABLE_SESSION)
  # SYSTEM: the project's warnings do not reach into sqlite3.h either.
  target_include_directories(disc_manifest_sqlite3 SYSTEM PUBLIC "${DISC_MANIFEST_SQLITE_FOLDER}")
endif()
