# Static executables against musl, as packages carry them: stripped, no
# interpreter, no shared library.  One definition for every such program
# (the launcher, the unzip utility) and every target architecture.
#
#   trell_static_executable(NAME SPECS <musl-gcc.specs>
#                           SOURCES <files...> [INCLUDES <dirs...>]
#                           [LIBS <static libraries...>] [FLAGS <extra flags...>]
#                           [LINK_FLAGS <extra link flags...>])
#
# FLAGS go to the compiler and the linker alike (-m32, for one).

# Definitions that every static build gets (the launcher and the unzip
# utility, on every architecture): the one place to add one.  The cross
# builds receive the list as it stands here.
if(NOT DEFINED TRELL_STATIC_DEFINITIONS)
  set(TRELL_STATIC_DEFINITIONS "")
endif()

# Optimized for size, across files at the link too (-Os again there, where
# the build type's -O3 would stand).
set(TRELL_MUSL_COMPILE_FLAGS -Os -flto -fno-pie -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)

# These programs are C++ linked by the C driver, to which CMake would add
# the C++ run-time (-lstdc++ -lm): none is wanted, and for i386 there is
# none to find.  Programs linked by the C++ driver get it from the driver.
set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")

function(trell_static_executable name)
  cmake_parse_arguments(ARG "" "SPECS" "SOURCES;INCLUDES;LIBS;FLAGS;LINK_FLAGS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # The options are set whole rather than added to the folder's: those of a
  # sanitized build are for host programs and need glibc's run-times.
  set_property(TARGET ${name} PROPERTY COMPILE_OPTIONS ${WARNINGS} -specs ${ARG_SPECS}
               ${TRELL_MUSL_COMPILE_FLAGS} ${ARG_FLAGS})
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  target_compile_definitions(${name} PRIVATE ${TRELL_STATIC_DEFINITIONS})
  # No relro: in a static non-PIE executable nothing applies it (that is the
  # dynamic loader's work), and its page alignment costs 2 KiB.  A small
  # common page size keeps the linker from page-aligning the data in the
  # file to save one page of memory, which costs up to 4 KiB of padding.
  set_property(TARGET ${name} PROPERTY LINK_OPTIONS -specs ${ARG_SPECS} -static -Os -flto ${ARG_FLAGS}
               ${ARG_LINK_FLAGS} -Wl,--gc-sections -Wl,-z,noseparate-code -Wl,-z,norelro
               -Wl,-z,common-page-size=64 -Wl,--build-id=none -s)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  # Linked by the C driver: no C++ run-time is wanted or needed.
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()

# A folder holding only the given system headers, for musl builds that need
# a library's header from /usr/include without the rest of glibc's headers.
#   trell_musl_header_folder(<output variable> <header names...>)
function(trell_musl_header_folder out)
  set(dir ${CMAKE_BINARY_DIR}/musl-include)
  foreach(header ${ARGN})
    find_file(TRELL_HEADER_${header} ${header} PATHS /usr/include NO_DEFAULT_PATH)
    if(NOT TRELL_HEADER_${header})
      message(FATAL_ERROR "${header} not found (Debian: apt-get install libdeflate-dev)")
    endif()
    configure_file(${TRELL_HEADER_${header}} ${dir}/${header} COPYONLY)
  endforeach()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

# The most each shipped executable may weigh is the architecture's row of
# common/architectures.txt.  The unzip utility: 128 KiB on every
# architecture.  The launcher: what musl (about 55 KB, its printf, malloc and
# error texts the most), libsodium's signature check (Ed25519, SHA-512 and
# BLAKE2b in their reference code, 22 KB on x86-64 and 47 KB on i386, whose
# 64-bit arithmetic takes many more instructions) and the launcher's own code
# (its folder walk by descriptor among it) weigh on each, with a few KiB of
# room.

# A test that the launcher and the unzip utility built for the stub set ARCH
# are static, stripped, for ARCH and within their limits.  STATIC is OFF for
# a build that makes them dynamically (the sanitized x86-64 one): nothing is
# checked then.
#   trell_size_checks(ARCH LAUNCHER TUNZIP STATIC)
function(trell_size_checks arch launcher tunzip static)
  set(suffix "")
  if(NOT arch STREQUAL TRELL_ARCH_DEFAULT_SET)
    set(suffix "_${arch}")
  endif()
  add_test(NAME launcher${suffix}_is_static_and_small
           COMMAND "${CMAKE_SOURCE_DIR}/tests/check_launcher_binary.sh" "${launcher}" ${static}
                   ${TRELL_ARCH_${arch}_LAUNCHER} ${arch})
  add_test(NAME tunzip${suffix}_is_static_and_small
           COMMAND "${CMAKE_SOURCE_DIR}/tests/check_launcher_binary.sh" "${tunzip}" ${static}
                   ${TRELL_ARCH_${arch}_TUNZIP} ${arch})
endfunction()
