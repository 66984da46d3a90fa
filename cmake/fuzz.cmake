# Fuzz targets (libFuzzer, clang only): the package reader, the command-line
# assembly, the platform-identification parsing and the strict zip reader, each built with
# AddressSanitizer and UndefinedBehaviorSanitizer.  scripts/fuzz.sh configures
# a build folder of its own with them and runs them; by hand:
#
#   cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DTRELL_FUZZ=ON -DTRELL_STATIC_LAUNCHER=OFF
#   cmake --build build-fuzz --target fuzz_targets
#
# The static launcher is built through musl-gcc's settings file, which clang
# does not take: a fuzz build builds the launcher dynamically.

option(TRELL_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(TRELL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TRELL_FUZZ needs clang: configure with "
                        "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(TRELL_STATIC_LAUNCHER)
    message(FATAL_ERROR "TRELL_FUZZ: configure the fuzz build with "
                        "-DTRELL_STATIC_LAUNCHER=OFF (the static launcher needs GCC)")
  endif()

  set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O1)

  # The two modules again, instrumented for coverage and the sanitizers, with
  # the build settings of their ordinary targets.
  add_library(fuzz_modules OBJECT ${OS_SOURCES} ${INSTALLER_SOURCES} ${COMMON_C_SOURCES})
  target_compile_options(fuzz_modules PRIVATE ${FUZZ_FLAGS})
  target_compile_definitions(fuzz_modules PRIVATE
    $<TARGET_PROPERTY:osspecific_linux,COMPILE_DEFINITIONS>
    $<TARGET_PROPERTY:installer,COMPILE_DEFINITIONS>)
  target_link_libraries(fuzz_modules PUBLIC PkgConfig::SODIUM)
  target_include_directories(fuzz_modules PRIVATE
    $<TARGET_PROPERTY:osspecific_linux,INCLUDE_DIRECTORIES>
    $<TARGET_PROPERTY:installer,INCLUDE_DIRECTORIES>)

  # Every fuzz/*_fuzz.cc is a target of its own name.  The list goes into
  # the build folder, fuzz_targets.txt (one a line), which scripts/fuzz.sh
  # runs: a new target needs only its source and its seeds.
  file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cc)
  set(FUZZ_TARGETS "")
  add_custom_target(fuzz_targets)
  foreach(source ${FUZZ_SOURCES})
    get_filename_component(target ${source} NAME_WE)
    list(APPEND FUZZ_TARGETS ${target})
    add_executable(${target} ${source})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    if(target STREQUAL zipread_fuzz)
      # The zip reader is no part of the two modules: it is built here,
      # instrumented the same way.
      target_sources(${target} PRIVATE ${ZIPREAD_READER_SOURCES})
      target_link_libraries(${target} PRIVATE ${LIBDEFLATE_LIBRARY})
    else()
      target_link_libraries(${target} PRIVATE fuzz_modules PkgConfig::SODIUM ${CMAKE_DL_LIBS})
    endif()
    add_dependencies(fuzz_targets ${target})
  endforeach()
  list(SORT FUZZ_TARGETS)
  string(REPLACE ";" "\n" FUZZ_TARGET_LINES "${FUZZ_TARGETS}")
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz_targets.txt "${FUZZ_TARGET_LINES}\n")
endif()
