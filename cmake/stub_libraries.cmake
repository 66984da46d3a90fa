# The static libraries inside each static launcher and unzip utility, with
# their versions as the build knows them, recorded in the executable itself
# (a mark like its version mark: TRELL_LIBRARIES_MARK of trell_version.h) so
# that pkgtool sbom can name them from a package alone.  The facts come from
# where the build takes each library: musl and libdeflate from Debian's
# packages (dpkg's record of the installed ones for x86-64, the packages
# file that scripts/musl-root.sh writes for the others), libsodium from
# Debian's source package that scripts/libsodium-src.sh lays out (its
# version.h, and the source package's version).
#
# The mark's text: entries separated by ";", each of five fields separated
# by blanks: the library's name, its upstream version, and the Debian
# package it came from (name, version, architecture; "source" for a source
# package).  "-" stands for what the build cannot tell (a library given by
# path that no package installed).
#
#   trell_installed_deb(<out> <file>)           the installed package holding file
#   trell_laid_out_deb(<out> <root> <package>)  a package of a musl-root.sh layout
#   trell_library_entry(<out> <name> <upstream version or ""> <deb facts>)
#   trell_libraries_source(<out> <program> <entries...>)
#
# Deb facts are "PACKAGE VERSION ARCHITECTURE" (or "- - -").  The source
# file written by trell_libraries_source goes into the program's sources.

# The entry of libsodium, the same in every launcher: its version.h and the
# source package's version.
set(sodium_version_h "${TRELL_SODIUM_ROOT}/src/libsodium/include/sodium/version.h")
file(STRINGS "${sodium_version_h}" sodium_version_line REGEX "define SODIUM_VERSION_STRING")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" sodium_version "${sodium_version_line}")
file(STRINGS "${TRELL_SODIUM_ROOT}/debian-version" sodium_debian LIMIT_COUNT 1)
if(NOT sodium_version MATCHES "^[0-9][0-9.]*$" OR NOT sodium_debian)
  message(FATAL_ERROR "libsodium's version could not be read from ${TRELL_SODIUM_ROOT} "
                      "(scripts/libsodium-src.sh)")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${sodium_version_h}"
             "${TRELL_SODIUM_ROOT}/debian-version")

# What dpkg records of the installed package that holds file.
function(trell_installed_deb out file)
  set(facts "- - -")
  get_filename_component(real "${file}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${real}" OUTPUT_VARIABLE owner
                  RESULT_VARIABLE found ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  # "musl-dev:amd64: /usr/lib/x86_64-linux-musl/libc.a"; one owner only.
  if(found EQUAL 0 AND owner MATCHES "^([^ ,]+): [^\n]*$")
    execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version} \${Architecture}"
                            "${CMAKE_MATCH_1}"
                    OUTPUT_VARIABLE facts RESULT_VARIABLE queried ERROR_QUIET)
    if(NOT queried EQUAL 0)
      set(facts "- - -")
    endif()
  endif()
  # An upgrade of the package changes the file: configuring again records it.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${real}")
  set(${out} "${facts}" PARENT_SCOPE)
endfunction()

# The line of ROOT/packages (scripts/musl-root.sh) for the Debian package.
function(trell_laid_out_deb out root package)
  file(STRINGS "${root}/packages" lines REGEX "^${package} ")
  list(LENGTH lines n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "${root}/packages names ${package} ${n} times, not once "
                        "(scripts/musl-root.sh)")
  endif()
  # Package, version, architecture; the source package is not recorded.
  string(REGEX MATCH "^[^ ]+ [^ ]+ [^ ]+" facts "${lines}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${root}/packages")
  set(${out} "${facts}" PARENT_SCOPE)
endfunction()

# One entry of the mark.  Without an upstream version it is the Debian
# version less its epoch and revision ("1:1.2.3-1" gives "1.2.3").
function(trell_library_entry out name upstream deb)
  string(REPLACE " " ";" fields "${deb}")
  list(GET fields 1 debian_version)
  if(upstream STREQUAL "")
    set(upstream "-")
    if(NOT debian_version STREQUAL "-")
      string(REGEX REPLACE "^[0-9]+:" "" upstream "${debian_version}")
      string(REGEX REPLACE "-[^-]*$" "" upstream "${upstream}")
    endif()
  endif()
  set(${out} "${name} ${upstream} ${deb}" PARENT_SCOPE)
endfunction()

# Writes generated/libraries/PROGRAM.cc, which holds the mark of the
# entries, and gives its path.
function(trell_libraries_source out program)
  list(JOIN ARGN ";" TRELL_LIBRARIES)
  # Only what a C string holds as it is, and pkgtool reads back.
  if(NOT TRELL_LIBRARIES MATCHES "^[-+.:~a-zA-Z0-9_; ]+$")
    message(FATAL_ERROR "library facts of ${program} that a mark cannot hold: ${TRELL_LIBRARIES}")
  endif()
  set(TRELL_LIBRARIES_PROGRAM "${program}")
  set(file "${CMAKE_BINARY_DIR}/generated/libraries/${program}.cc")
  configure_file("${CMAKE_SOURCE_DIR}/common/stub_libraries.cc.in" "${file}" @ONLY)
  set(${out} "${file}" PARENT_SCOPE)
endfunction()

trell_library_entry(TRELL_SODIUM_LIBRARY libsodium "${sodium_version}"
                    "libsodium ${sodium_debian} source")
