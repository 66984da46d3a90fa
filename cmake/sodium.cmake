# libsodium, for the launcher's signature check (Ed25519, BLAKE2b, base64).
# Host builds (tests, pkgtool, a sanitized launcher) link Debian's shared
# libsodium.  The static launchers compile the few parts of its source that
# they use, unchanged, with function sections, from Debian's source package
# (scripts/libsodium-src.sh at configure time): the packaged libsodium.a
# has none, and its elliptic-curve object alone would take 75 KB.
#
#   TRELL_SODIUM_SOURCES, TRELL_SODIUM_INCLUDES   for trell_static_executable
#   PkgConfig::SODIUM                             for host targets
#   TRELL_SODIUM_SHA256_SOURCES                   SHA-256 for the OS services
#
# The OS services (the upload's checksum file) compile libsodium's SHA-256
# the same way, under names of their own (os/sodium_sha256.h): a tool
# linked with the OS-services library then needs no libsodium where it runs,
# and may link its own libsodium without a clash.

find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)

set(TRELL_SODIUM_ROOT "${CMAKE_BINARY_DIR}/libsodium-src" CACHE PATH
    "Debian's libsodium source package, unpacked (scripts/libsodium-src.sh)")
set(sodium_src "${TRELL_SODIUM_ROOT}/src/libsodium")
if(NOT EXISTS "${sodium_src}/include/sodium/version.h" OR
   NOT EXISTS "${TRELL_SODIUM_ROOT}/debian-version")
  execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/libsodium-src.sh" "${TRELL_SODIUM_ROOT}"
                  RESULT_VARIABLE sodium_fetch)
  if(NOT sodium_fetch EQUAL 0)
    message(FATAL_ERROR "libsodium's source could not be laid out in ${TRELL_SODIUM_ROOT} "
                        "(scripts/libsodium-src.sh)")
  endif()
endif()
set(TRELL_SODIUM_SOURCES
    "${sodium_src}/crypto_sign/ed25519/ref10/open.c"
    "${sodium_src}/crypto_sign/ed25519/ref10/sign.c"
    "${sodium_src}/crypto_core/ed25519/ref10/ed25519_ref10.c"
    "${sodium_src}/crypto_hash/sha512/cp/hash_sha512_cp.c"
    "${sodium_src}/crypto_verify/sodium/verify.c"
    "${sodium_src}/crypto_generichash/blake2b/ref/generichash_blake2b.c"
    "${sodium_src}/crypto_generichash/blake2b/ref/blake2b-ref.c"
    "${sodium_src}/crypto_generichash/blake2b/ref/blake2b-compress-ref.c"
    "${sodium_src}/sodium/codecs.c"
    "${sodium_src}/sodium/utils.c")
set(TRELL_SODIUM_INCLUDES "${sodium_src}/include" "${sodium_src}/include/sodium")
# The library's own code, as its maintainers wrote it: no warnings of ours,
# and configured as its configure would (common/sodium_config.h).  Without
# NATIVE_LITTLE_ENDIAN it reads bytes one by one, on any host.
set_source_files_properties(${TRELL_SODIUM_SOURCES} PROPERTIES COMPILE_OPTIONS
  "-w;-DCONFIGURED=1;-include;${CMAKE_SOURCE_DIR}/common/sodium_config.h")
list(APPEND TRELL_SODIUM_SOURCES "${CMAKE_SOURCE_DIR}/common/sodium_standins.cc")

set(TRELL_SODIUM_SHA256_SOURCES "${sodium_src}/crypto_hash/sha256/cp/hash_sha256_cp.c")
set_source_files_properties(${TRELL_SODIUM_SHA256_SOURCES} PROPERTIES COMPILE_OPTIONS
  "-w;-DCONFIGURED=1;-include;${CMAKE_SOURCE_DIR}/common/sodium_config.h;-include;${CMAKE_SOURCE_DIR}/os/sodium_sha256.h")
