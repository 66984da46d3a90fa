# pkgtool's build settings: the zip library it writes and reads images with.
# Only pkgtool and its unit tests (PKGTOOL_LIBZIP) link it; the launcher
# carries no zip code (it runs the unzip utility of its package).

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBZIP QUIET IMPORTED_TARGET libzip>=1.6)
endif()
if(LIBZIP_FOUND)
  set(PKGTOOL_LIBZIP PkgConfig::LIBZIP)
  target_link_libraries(pkgtool PRIVATE PkgConfig::LIBZIP)
else()
  find_path(LIBZIP_INCLUDE_DIR zip.h)
  find_library(LIBZIP_LIBRARY zip)
  if(NOT LIBZIP_INCLUDE_DIR OR NOT LIBZIP_LIBRARY)
    message(FATAL_ERROR "pkgtool needs libzip (Debian: apt-get install libzip-dev)")
  endif()
  target_include_directories(pkgtool PRIVATE ${LIBZIP_INCLUDE_DIR})
  target_link_libraries(pkgtool PRIVATE ${LIBZIP_LIBRARY})
  set(PKGTOOL_LIBZIP ${LIBZIP_LIBRARY})
endif()

# info --json is written with nlohmann-json (header-only).
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  message(FATAL_ERROR "pkgtool needs nlohmann-json (Debian: apt-get install nlohmann-json3-dev)")
endif()
target_link_libraries(pkgtool PRIVATE nlohmann_json::nlohmann_json)

# The package record's digests and checksums, and signatures: libsodium.
target_link_libraries(pkgtool PRIVATE PkgConfig::SODIUM)
