# The one strict zip reader (common/zipread.h: zipread, zipentry, zipnames,
# ziplayout), its decoders (common/zipdecode.*) and extraction
# (common/zipextract.h: zipextract, zipfolders), with the write and read
# loops of common/io_loops.*, and the unzip utility built on it, tunzip,
# that packages carry as element 1.
# Inflate and CRC-32 come from libdeflate: the shared library for host
# builds (pkgtool, tests), its static libdeflate.a for the musl utility
# (it needs nothing from glibc).

# The reader alone, as the fuzz target builds it.
set(ZIPREAD_READER_SOURCES ${CMAKE_SOURCE_DIR}/common/zipread.cc
    ${CMAKE_SOURCE_DIR}/common/zipentry.cc ${CMAKE_SOURCE_DIR}/common/zipnames.cc
    ${CMAKE_SOURCE_DIR}/common/ziplayout.cc ${CMAKE_SOURCE_DIR}/common/zipdecode.cc)
set(ZIPREAD_LIBRARY_SOURCES ${ZIPREAD_READER_SOURCES} ${CMAKE_SOURCE_DIR}/common/zipextract.cc
    ${CMAKE_SOURCE_DIR}/common/zipfolders.cc ${CMAKE_SOURCE_DIR}/common/io_loops.cc)
# What a static unzip utility is built from: the reader and the folder walk
# (with the rest of common_c, which the link drops).
set(ZIPREAD_SOURCES ${ZIPREAD_LIBRARY_SOURCES} ${COMMON_C_SOURCES})
find_library(LIBDEFLATE_LIBRARY deflate)
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
if(NOT LIBDEFLATE_LIBRARY OR NOT LIBDEFLATE_INCLUDE_DIR)
  message(FATAL_ERROR "the zip reader needs libdeflate (Debian: apt-get install libdeflate-dev)")
endif()
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

# Host builds link common_c beside it (the launcher's tests link both).
add_library(zipread OBJECT ${ZIPREAD_LIBRARY_SOURCES})
target_include_directories(zipread PUBLIC ${LIBDEFLATE_INCLUDE_DIR})
target_link_libraries(zipread PUBLIC ${LIBDEFLATE_LIBRARY} Threads::Threads)

# Streaming large entries that are checked, not kept (zipDecoderInitStreaming):
# zlib's inflate, for host builds only (pkgtool, the tests).  The unzip
# utility never streams: zlib would weigh as much again as the rest of it.
find_package(ZLIB REQUIRED)
add_library(zipstream OBJECT ${CMAKE_SOURCE_DIR}/common/zipstream.cc)
target_include_directories(zipstream PUBLIC ${LIBDEFLATE_INCLUDE_DIR})
target_link_libraries(zipstream PUBLIC ZLIB::ZLIB ${LIBDEFLATE_LIBRARY})

set(TRELL_MUSL_LIBDEFLATE "/usr/lib/x86_64-linux-gnu/libdeflate.a" CACHE FILEPATH
    "libdeflate's static library, for the static unzip utility")

if(TRELL_STATIC_LAUNCHER)
  trell_musl_header_folder(TUNZIP_MUSL_INCLUDE libdeflate.h)
  # It records musl (as the launcher does) and libdeflate.
  trell_installed_deb(deflate_deb "${TRELL_MUSL_LIBDEFLATE}")
  trell_library_entry(deflate_library libdeflate "" "${deflate_deb}")
  trell_libraries_source(tunzip_libraries tunzip "${TRELL_MUSL_LIBRARY}" "${deflate_library}")
  trell_static_executable(tunzip SPECS ${TRELL_MUSL_SPECS}
    SOURCES ${CMAKE_SOURCE_DIR}/unzip/main.cc ${ZIPREAD_SOURCES} ${tunzip_libraries}
    INCLUDES ${TUNZIP_MUSL_INCLUDE}
    LIBS ${TRELL_MUSL_LIBDEFLATE})
else()
  add_executable(tunzip ${CMAKE_SOURCE_DIR}/unzip/main.cc)
  target_link_libraries(tunzip PRIVATE zipread common_c)
endif()
