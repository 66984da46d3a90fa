# Installation (cmake --install BUILD --prefix DIR): pkgtool in bin/, the
# stubs it packs (the launcher, the unzip utility, their variants where
# built) in a folder of their own, where an installed pkgtool finds them.

set(TRELL_INSTALL_STUBDIR lib/trell)
# As pkgtool sees it from its own folder, so that an installed tree works
# wherever it is put (a scratch root of the .deb included).
file(RELATIVE_PATH TRELL_STUB_DIR_FROM_BIN /usr/bin /usr/${TRELL_INSTALL_STUBDIR})
# Public: pkgtool's usage text names it too.
target_compile_definitions(pkgtool_lib PUBLIC TRELL_STUB_DIR_FROM_BIN="${TRELL_STUB_DIR_FROM_BIN}")

install(TARGETS pkgtool RUNTIME DESTINATION bin)
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

# pkgtool(1), made from pkgtool --help and --version by help2man, so that
# the page says what the program does.  help2man hands the program's path
# to a shell unquoted: it runs it from its own folder, by a name without
# blanks, wherever the build lies.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(FATAL_ERROR "the man page needs help2man (Debian: apt-get install help2man)")
endif()
set(PKGTOOL_MAN ${CMAKE_BINARY_DIR}/man/pkgtool.1)
add_custom_command(OUTPUT ${PKGTOOL_MAN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${HELP2MAN} --no-info --section 1
          --name "build and inspect self-extracting launcher packages"
          --output ${PKGTOOL_MAN} ./$<TARGET_FILE_NAME:pkgtool>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:pkgtool>
  DEPENDS pkgtool
  VERBATIM)
add_custom_target(pkgtool_man ALL DEPENDS ${PKGTOOL_MAN})
install(FILES ${PKGTOOL_MAN} DESTINATION share/man/man1)

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
    "pkg-config trell-os) for the tools' authors.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
