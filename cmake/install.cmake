# Installation (cmake --install BUILD --prefix DIR): pkgtool and
# trell-upload in bin/, the stubs pkgtool packs (the launcher, the unzip
# utility, their variants where built) in a folder of their own, where an
# installed pkgtool finds them.

set(TRELL_INSTALL_STUBDIR lib/trell)
# As pkgtool sees it from its own folder, so that an installed tree works
# wherever it is put (a scratch root of the .deb included).
file(RELATIVE_PATH TRELL_STUB_DIR_FROM_BIN /usr/bin /usr/${TRELL_INSTALL_STUBDIR})
# Public: pkgtool's usage text names it too.
target_compile_definitions(pkgtool_lib PUBLIC TRELL_STUB_DIR_FROM_BIN="${TRELL_STUB_DIR_FROM_BIN}")

install(TARGETS pkgtool trell-upload RUNTIME DESTINATION bin)
# trell-run, the runner that enforces this host's trust store with the
# installed code (a package run directly checks only itself).
install(TARGETS trell-run RUNTIME DESTINATION bin)
install(TARGETS launcher tunzip RUNTIME DESTINATION ${TRELL_INSTALL_STUBDIR})
foreach(variant launcher-i386 tunzip-i386)
  if(TARGET ${variant})
    install(TARGETS ${variant} RUNTIME DESTINATION ${TRELL_INSTALL_STUBDIR})
  endif()
endforeach()
if(TRELL_CROSS_STUB_FILES)
  install(PROGRAMS ${TRELL_CROSS_STUB_FILES} DESTINATION ${TRELL_INSTALL_STUBDIR})
endif()

# The Ansible collection trell.portable, where Ansible finds collections
# without settings when the prefix is /usr (the .deb).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/ansible/
        DESTINATION share/ansible/collections/ansible_collections/trell/portable
        PATTERN __pycache__ EXCLUDE)

# pkgtool(1) and trell-upload(1), made from --help and --version by
# help2man, so that each page says what the program does.  help2man hands
# the program's path to a shell unquoted: it runs it from its own folder, by
# a name without blanks, wherever the build lies.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(FATAL_ERROR "the man pages need help2man (Debian: apt-get install help2man)")
endif()
function(trell_man_page program summary)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${HELP2MAN} --no-info --section 1 --name ${summary}
            --output ${page} ./$<TARGET_FILE_NAME:${program}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${program}>
    DEPENDS ${program}
    VERBATIM)
  add_custom_target(${program}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION share/man/man1)
endfunction()
trell_man_page(pkgtool "build and inspect self-extracting launcher packages")
trell_man_page(trell-upload "send a file over HTTPS, FTPS, FTP or SFTP, with verified TLS")

# cpack -G DEB, run in the build folder, writes a Debian package of this
# installation there.  Its Depends come from dpkg-shlibdeps (dpkg-dev) on
# the installed executables: libzip, libdeflate, the C and C++ run-times.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Trell developers <trell-dev@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "builder of self-extracting launcher packages for Linux servers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "pkgtool builds and inspects packages: one file holding a static launcher, an unzip\n"
    "utility, command records per platform and a zip image of a tool, which unpacks and\n"
    "runs the tool on a server.  With the launcher and tunzip stubs in /usr/lib/trell,\n"
    "the Ansible collection trell.portable that runs a package on many hosts,\n"
    "and the OS-services library (libtrell_os.a, <trell/osspecific.h>, find_package(Trell),\n"
    "pkg-config trell-os) for the tools' authors.  trell-upload sends a result over\n"
    "HTTPS, FTPS, FTP or SFTP with verified TLS.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
