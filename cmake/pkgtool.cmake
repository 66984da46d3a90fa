# pkgtool's build settings: the zip library it writes images with, JSON and
# libsodium (the zip reader it reads them with, and its streaming decoder on
# zlib, are cmake/zip.cmake's).  They are set on its library (pkgtool_lib),
# and so reach pkgtool and its unit tests alike; the launcher carries no zip
# code (it runs the unzip utility of its package).

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBZIP QUIET IMPORTED_TARGET libzip>=1.6)
endif()
if(LIBZIP_FOUND)
  target_link_libraries(pkgtool_lib PUBLIC PkgConfig::LIBZIP)
else()
  find_path(LIBZIP_INCLUDE_DIR zip.h)
  find_library(LIBZIP_LIBRARY zip)
  if(NOT LIBZIP_INCLUDE_DIR OR NOT LIBZIP_LIBRARY)
    message(FATAL_ERROR "pkgtool needs libzip (Debian: apt-get install libzip-dev)")
  endif()
  target_include_directories(pkgtool_lib PUBLIC ${LIBZIP_INCLUDE_DIR})
  target_link_libraries(pkgtool_lib PUBLIC ${LIBZIP_LIBRARY})
endif()

# info --json is written with nlohmann-json (header-only).
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  message(FATAL_ERROR "pkgtool needs nlohmann-json (Debian: apt-get install nlohmann-json3-dev)")
endif()
target_link_libraries(pkgtool_lib PUBLIC nlohmann_json::nlohmann_json)

# The package record's digests and checksums, and signatures: libsodium.
target_link_libraries(pkgtool_lib PUBLIC PkgConfig::SODIUM)
