# trell-upload: the OS-services layer's uploadFile as a command, for
# administrators and scripts on the machine where trell is installed.  Built
# on the same library that tool authors link.
add_executable(trell-upload upload/main.cc)
target_include_directories(trell-upload PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(trell-upload PRIVATE trell_os)

# The upload's unit tests (os/upload_test.cc) use its internal header.
target_include_directories(unit_tests PRIVATE ${TRELL_SODIUM_INCLUDES})
