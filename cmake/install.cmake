# Installation (cmake --install BUILD --prefix DIR): pkgtool in bin/, the
# stubs it packs (the launcher, the unzip utility, their variants where
# built) in a folder of their own, where an installed pkgtool finds them.

set(TRELL_INSTALL_STUBDIR lib/trell)
# As pkgtool sees it from its own folder, so that an installed tree works
# wherever it is put (a scratch root of the .deb included).
file(RELATIVE_PATH TRELL_STUB_DIR_FROM_BIN /usr/bin /usr/${TRELL_INSTALL_STUBDIR})
target_compile_definitions(pkgtool PRIVATE TRELL_STUB_DIR_FROM_BIN="${TRELL_STUB_DIR_FROM_BIN}")

install(TARGETS pkgtool RUNTIME DESTINATION bin)
install(TARGETS launcher tunzip RUNTIME DESTINATION ${TRELL_INSTALL_STUBDIR})
foreach(variant launcher-i386 tunzip-i386)
  if(TARGET ${variant})
    install(TARGETS ${variant} RUNTIME DESTINATION ${TRELL_INSTALL_STUBDIR})
  endif()
endforeach()
