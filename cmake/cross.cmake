# What packages carry for the architectures that common/architectures.txt
# builds "cross" (ARM64, POWER little-endian, IBM Z): bin/launcher-ARCH and
# bin/tunzip-ARCH, static against musl like the x86 ones (pkgtool build
# --stubs ARCH).  Each
# architecture is a build of its own (cmake/cross/) with Debian's cross
# compilers, which configuring fetches together with musl and libdeflate for
# that architecture (scripts/musl-root.sh): installed, the cross compilers
# would remove gcc-multilib, which the i386 build needs.
#
#   -DTRELL_CROSS_STUBS=OFF    build without them
#   -DTRELL_CROSS_ROOT=D       D/ARCH as laid out by scripts/musl-root.sh ARCH
#                              (default: a folder of the build, filled at
#                              configure time where empty)
#
# Sanitized builds make them too (static, without the sanitizers: they are
# built apart), fuzz builds do not.

string(REPLACE ";" ", " cross_names "${TRELL_ARCH_SETS_cross}")
option(TRELL_CROSS_STUBS "Also build the launcher and unzip utility for ${cross_names}" ON)
set(TRELL_CROSS_ROOT "${CMAKE_BINARY_DIR}/cross" CACHE PATH
    "Cross compilers, musl and libdeflate per architecture (scripts/musl-root.sh)")

# The architectures built, and their stubs' paths (for cmake/install.cmake).
set(TRELL_CROSS_ARCHES "")
set(TRELL_CROSS_STUB_FILES "")
if(TRELL_CROSS_STUBS AND TRELL_FUZZ)
  message(STATUS "${cross_names} launcher and unzip utility: not built in fuzz builds")
elseif(TRELL_CROSS_STUBS)
  set(TRELL_CROSS_ARCHES ${TRELL_ARCH_SETS_cross})
endif()

include(ExternalProject)
# The definitions of every static build reach the other build through a
# cache file of set() lines, unescaped.
string(REPLACE "\"" "\\\"" cross_definitions "${TRELL_STATIC_DEFINITIONS}")
# libsodium's sources as the main build compiles them: its own files with
# their options (no warnings of ours), our stand-ins without.
set(cross_sodium_own "")
set(cross_sodium_options "")
set(cross_sodium_ours "")
foreach(f ${TRELL_SODIUM_SOURCES})
  get_source_file_property(options "${f}" COMPILE_OPTIONS)
  if(options)
    list(APPEND cross_sodium_own "${f}")
    # "|" between them: ExternalProject would take "-D..." for one of its own.
    string(REPLACE ";" "|" cross_sodium_options "${options}")
  else()
    list(APPEND cross_sodium_ours "${f}")
  endif()
endforeach()

foreach(arch ${TRELL_CROSS_ARCHES})
  set(root "${TRELL_CROSS_ROOT}/${arch}")
  if(NOT EXISTS "${root}/musl-gcc.specs" OR NOT EXISTS "${root}/packages")
    execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/musl-root.sh" ${arch} "${root}"
                    RESULT_VARIABLE fetched)
    if(NOT fetched EQUAL 0)
      message(FATAL_ERROR "the ${arch} cross compilers and musl could not be laid out in "
                          "${root} (scripts/musl-root.sh); -DTRELL_CROSS_STUBS=OFF builds "
                          "without the ${cross_names} launcher and unzip utility")
    endif()
  endif()
  file(GLOB deflate "${root}/usr/lib/*-linux-gnu/libdeflate.a")
  # The libraries the two record: musl and libdeflate of the layout's packages.
  trell_laid_out_deb(musl_deb "${root}" musl-dev)
  trell_library_entry(musl_library musl "" "${musl_deb}")
  trell_laid_out_deb(deflate_deb "${root}" libdeflate-dev)
  trell_library_entry(deflate_library libdeflate "" "${deflate_deb}")
  trell_libraries_source(launcher_libraries launcher-${arch} "${musl_library}"
                         "${TRELL_SODIUM_LIBRARY}")
  trell_libraries_source(tunzip_libraries tunzip-${arch} "${musl_library}" "${deflate_library}")

  set(stubs "${CMAKE_BINARY_DIR}/bin/launcher-${arch}" "${CMAKE_BINARY_DIR}/bin/tunzip-${arch}")
  ExternalProject_Add(stubs-${arch}
    SOURCE_DIR "${CMAKE_SOURCE_DIR}/cmake/cross"
    BINARY_DIR "${CMAKE_BINARY_DIR}/cross-build/${arch}"
    CMAKE_CACHE_ARGS
      -DCMAKE_SYSTEM_NAME:STRING=Linux
      -DCMAKE_SYSTEM_PROCESSOR:STRING=${arch}
      "-DCMAKE_C_COMPILER:FILEPATH=${root}/bin/gcc"
      "-DCMAKE_CXX_COMPILER:FILEPATH=${root}/bin/g++"
      # Nothing links without musl's specs file: the compiler checks only compile.
      -DCMAKE_TRY_COMPILE_TARGET_TYPE:STRING=STATIC_LIBRARY
      -DCMAKE_BUILD_TYPE:STRING=${CMAKE_BUILD_TYPE}
      "-DCMAKE_RUNTIME_OUTPUT_DIRECTORY:PATH=${CMAKE_BINARY_DIR}/bin"
      "-DTRELL_SOURCE_DIR:PATH=${CMAKE_SOURCE_DIR}"
      -DTRELL_ARCH:STRING=${arch}
      "-DTRELL_MUSL_ROOT:PATH=${root}"
      "-DTRELL_LIBDEFLATE:FILEPATH=${deflate}"
      "-DTRELL_LAUNCHER_SOURCES:STRING=${OS_SOURCES};${INSTALLER_SOURCES};${COMMON_C_SOURCES};${CMAKE_SOURCE_DIR}/launcher/main.cc;${cross_sodium_ours};${launcher_libraries}"
      "-DTRELL_LIBRARY_SOURCES:STRING=${cross_sodium_own}"
      "-DTRELL_LIBRARY_OPTIONS:STRING=${cross_sodium_options}"
      "-DTRELL_LAUNCHER_INCLUDES:STRING=${TRELL_SODIUM_INCLUDES}"
      "-DTRELL_UNZIP_SOURCES:STRING=${CMAKE_SOURCE_DIR}/unzip/main.cc;${ZIPREAD_SOURCES};\
${tunzip_libraries}"
      "-DTRELL_INCLUDES:STRING=${CMAKE_BINARY_DIR}/generated"
      "-DTRELL_STATIC_DEFINITIONS:STRING=${cross_definitions}"
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${stubs})
  list(APPEND TRELL_CROSS_STUB_FILES ${stubs})

  # Static and small in every build, sanitized ones too.
  trell_size_checks(${arch} ${stubs} ON)
endforeach()

# The end-to-end tests find them beside pkgtool; the architectures named
# here must be there.
string(REPLACE ";" " " cross_arches "${TRELL_CROSS_ARCHES}")
foreach(test ${E2E_TESTS})
  get_filename_component(name ${test} NAME_WE)
  set_property(TEST e2e_${name} APPEND PROPERTY ENVIRONMENT "TRELL_CROSS_ARCHES=${cross_arches}")
endforeach()
