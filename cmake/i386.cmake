# The stub set that common/architectures.txt builds "multilib", with this
# machine's own GCC: i386 variants of what packages carry, bin/launcher-i386 and
# bin/tunzip-i386, static against musl like their x86-64 builds.  An i386
# launcher runs on 32-bit x86 hosts and on x86-64 hosts with 32-bit support,
# so that an image pair built on them reaches both kinds (pkgtool build
# --stubs i386).
#
#   -DTRELL_I386_STUBS=OFF     build without them
#   -DTRELL_I386_MUSL_ROOT=D   musl and libdeflate for i386, as laid out by
#                              scripts/i386-musl.sh (default: a folder of the
#                              build, filled at configure time when empty)
#
# They are built in sanitized builds too (still static, without the
# sanitizers), not in fuzz builds: musl's specs file needs GCC.  There is no
# 32-bit libstdc++, and none is needed: the sources include only C headers
# and are linked by the C driver.

option(TRELL_I386_STUBS "Also build the i386 launcher and unzip utility (static, musl)" ON)
set(TRELL_I386_MUSL_ROOT "${CMAKE_BINARY_DIR}/i386-musl" CACHE PATH
    "musl-dev:i386 and libdeflate-dev:i386 unpacked, with musl-gcc.specs (scripts/i386-musl.sh)")

set(TRELL_I386_BUILT OFF)
if(TRELL_I386_STUBS AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(STATUS "i386 launcher and unzip utility: not built (they need GCC)")
elseif(TRELL_I386_STUBS)
  set(TRELL_I386_BUILT ON)
endif()

if(TRELL_I386_BUILT)
  set(i386_specs ${TRELL_I386_MUSL_ROOT}/musl-gcc.specs)
  if(NOT EXISTS ${i386_specs} OR NOT EXISTS ${TRELL_I386_MUSL_ROOT}/packages)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/i386-musl.sh ${TRELL_I386_MUSL_ROOT}
                    RESULT_VARIABLE i386_fetch)
    if(NOT i386_fetch EQUAL 0)
      message(FATAL_ERROR "i386 musl could not be laid out in ${TRELL_I386_MUSL_ROOT} "
                          "(scripts/i386-musl.sh); -DTRELL_I386_STUBS=OFF builds without "
                          "the i386 launcher and unzip utility")
    endif()
  endif()

  # musl's specs file replaces GCC's link line, and with it the emulation
  # that -m32 would choose.
  set(i386_flags FLAGS -m32 LINK_FLAGS -Wl,-m,elf_i386)

  # The libraries they record: musl and libdeflate of the layout's packages.
  trell_laid_out_deb(musl_deb ${TRELL_I386_MUSL_ROOT} musl-dev)
  trell_library_entry(musl_library musl "" "${musl_deb}")
  trell_laid_out_deb(deflate_deb ${TRELL_I386_MUSL_ROOT} libdeflate-dev)
  trell_library_entry(deflate_library libdeflate "" "${deflate_deb}")
  trell_libraries_source(launcher_libraries launcher-i386 "${musl_library}"
                         "${TRELL_SODIUM_LIBRARY}")
  trell_libraries_source(tunzip_libraries tunzip-i386 "${musl_library}" "${deflate_library}")

  trell_static_executable(launcher-i386 SPECS ${i386_specs} ${i386_flags}
    SOURCES ${TRELL_LAUNCHER_SOURCES} ${launcher_libraries} INCLUDES ${TRELL_SODIUM_INCLUDES})

  trell_musl_header_folder(i386_include libdeflate.h)
  trell_static_executable(tunzip-i386 SPECS ${i386_specs} ${i386_flags}
    SOURCES ${CMAKE_SOURCE_DIR}/unzip/main.cc ${ZIPREAD_SOURCES} ${tunzip_libraries}
    INCLUDES ${i386_include}
    LIBS ${TRELL_I386_MUSL_ROOT}/usr/lib/${TRELL_ARCH_i386_TRIPLE}/libdeflate.a)

  # Static and small in every build, sanitized ones too.
  trell_size_checks(i386 $<TARGET_FILE:launcher-i386> $<TARGET_FILE:tunzip-i386> ON)

  # The end-to-end tests find them here; without them, their tests skip.
  foreach(test ${E2E_TESTS})
    get_filename_component(name ${test} NAME_WE)
    set_property(TEST e2e_${name} APPEND PROPERTY ENVIRONMENT
      "TRELL_LAUNCHER_I386=$<TARGET_FILE:launcher-i386>"
      "TRELL_UNZIP_I386=$<TARGET_FILE:tunzip-i386>")
  endforeach()
endif()
