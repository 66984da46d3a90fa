# The OS-services layer for the authors of the tools that packages carry:
# a static library of os/ (libtrell_os.a) with os/osspecific.h installed as
# <trell/osspecific.h>, found through
#   find_package(Trell) ... target_link_libraries(tool PRIVATE Trell::os)
# or pkg-config (trell-os).  The same objects as the tests link.

include(CMakePackageConfigHelpers)

set_target_properties(osspecific_linux osspecific_services common_c PROPERTIES
                      POSITION_INDEPENDENT_CODE ON)
# The container reader (common_c) serves getSignatureSize.
add_library(trell_os STATIC $<TARGET_OBJECTS:osspecific_linux> $<TARGET_OBJECTS:osspecific_services>
            $<TARGET_OBJECTS:common_c>)
set_target_properties(trell_os PROPERTIES EXPORT_NAME os)
target_include_directories(trell_os INTERFACE $<INSTALL_INTERFACE:include>)
target_link_libraries(trell_os INTERFACE ${CMAKE_DL_LIBS})
set(TRELL_OS_PC_LIBS "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND TRELL_OS_PC_LIBS " -l${lib}")
endforeach()
if(TRELL_SANITIZE)
  # Sanitized objects need the sanitizers' run-times in the tool too.
  target_link_options(trell_os INTERFACE -fsanitize=address,undefined)
  string(APPEND TRELL_OS_PC_LIBS " -fsanitize=address,undefined")
endif()

install(TARGETS trell_os EXPORT TrellTargets ARCHIVE DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/os/osspecific.h DESTINATION include/trell)
install(EXPORT TrellTargets NAMESPACE Trell:: DESTINATION lib/cmake/Trell)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/TrellConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TrellConfig.cmake INSTALL_DESTINATION lib/cmake/Trell)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TrellConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TrellConfig.cmake ${CMAKE_BINARY_DIR}/TrellConfigVersion.cmake
        DESTINATION lib/cmake/Trell)
configure_file(${CMAKE_SOURCE_DIR}/cmake/trell-os.pc.in ${CMAKE_BINARY_DIR}/trell-os.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/trell-os.pc DESTINATION lib/pkgconfig)
