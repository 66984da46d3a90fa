# Result upload over FTP (os/ftp.cc): the support service's host name, and
# the helpers its tests run.

set(TRELL_FTP_HOST "ftp.zorvan.com" CACHE STRING
    "Host name of the support service's FTP server that ftpFile uploads to")
if(NOT TRELL_FTP_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR "TRELL_FTP_HOST must be a plain host name, not '${TRELL_FTP_HOST}'")
endif()

# Only the services' build knows it: the launcher never uploads.
target_compile_definitions(osspecific_services PRIVATE TRELL_FTP_HOST="${TRELL_FTP_HOST}")

# A process that runs one upload and checks that it left nothing open, so
# that each test controls its environment (LD_LIBRARY_PATH, namespaces).
add_executable(ftp_probe tests/ftp/ftp_probe.cc)
target_include_directories(ftp_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(ftp_probe PRIVATE osspecific_linux osspecific_services common_c)

# Stand-ins for libcurl where a test needs it to misbehave: a scriptable one,
# and one that lacks curl_global_cleanup.  Both are named libcurl.so.
set(FTP_FAKES_DIR ${CMAKE_BINARY_DIR}/ftp-fakes)
add_library(fakecurl SHARED tests/ftp/fakecurl.c)
add_library(fakecurl_nocleanup SHARED tests/ftp/fakecurl.c)
target_compile_definitions(fakecurl_nocleanup PRIVATE FAKECURL_WITHOUT_GLOBAL_CLEANUP)
# The layout of curl_version_info's record, as the upload reads it.
target_include_directories(fakecurl PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(fakecurl_nocleanup PRIVATE ${CMAKE_SOURCE_DIR})
set_target_properties(fakecurl PROPERTIES OUTPUT_NAME curl
                      LIBRARY_OUTPUT_DIRECTORY ${FTP_FAKES_DIR}/scripted)
set_target_properties(fakecurl_nocleanup PROPERTIES OUTPUT_NAME curl
                      LIBRARY_OUTPUT_DIRECTORY ${FTP_FAKES_DIR}/nocleanup)

add_dependencies(unit_tests ftp_probe fakecurl fakecurl_nocleanup)
target_compile_definitions(unit_tests PRIVATE
  TRELL_FTP_HOST="${TRELL_FTP_HOST}"
  FTP_PROBE="$<TARGET_FILE:ftp_probe>"
  FTP_FAKE_SCRIPTED="$<TARGET_FILE:fakecurl>"
  FTP_FAKE_NOCLEANUP="$<TARGET_FILE:fakecurl_nocleanup>")
