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

set(TRELL_MUSL_COMPILE_FLAGS -Os -fno-pie -fno-exceptions -fno-rtti -fno-threadsafe-statics
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
  # No relro: in a static non-PIE executable nothing applies it (that is the
  # dynamic loader's work), and its page alignment costs 2 KiB.  A small
  # common page size keeps the linker from page-aligning the data in the
  # file to save one page of memory, which costs up to 4 KiB of padding.
  set_property(TARGET ${name} PROPERTY LINK_OPTIONS -specs ${ARG_SPECS} -static ${ARG_FLAGS}
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
