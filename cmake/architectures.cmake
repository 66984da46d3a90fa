# The architectures packages reach, read from common/architectures.txt (one
# row each).  For every stub set SET it sets TRELL_ARCH_<SET>_<FIELD> (CODE,
# ENUM, RECORDS, LABEL, UNAME, HOSTS, MACHINE, CLASS, ORDER, ELF, READELF,
# DEBIAN, TRIPLE, MUSL, QEMU, BUILD, LAUNCHER, TUNZIP; lists as CMake lists),
# TRELL_ARCH_SETS (all, in the table's order) and TRELL_ARCH_SETS_<BUILD>
# (native, multilib, cross), and writes trell_architectures.h (the codes
# and a table of the rest) into the generated folder.

set(TRELL_ARCH_TABLE ${CMAKE_SOURCE_DIR}/common/architectures.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TRELL_ARCH_TABLE})
set(TRELL_ARCH_FIELDS SET CODE ENUM RECORDS LABEL UNAME HOSTS MACHINE CLASS ORDER ELF READELF
    DEBIAN TRIPLE MUSL QEMU BUILD LAUNCHER TUNZIP)
list(LENGTH TRELL_ARCH_FIELDS field_count)

# A C string of the items of a list, each ended by NUL, the list by one more.
function(trell_c_string_list out)
  set(text "")
  foreach(item ${ARGN})
    string(APPEND text "${item}\\0")
  endforeach()
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

file(STRINGS ${TRELL_ARCH_TABLE} rows REGEX "^[^#]")
set(TRELL_ARCH_SETS "")
set(codes "")
set(entries "")
set(max_code 0)
foreach(row ${rows})
  string(REPLACE "|" ";" fields "${row}")
  list(TRANSFORM fields STRIP)
  list(LENGTH fields n)
  if(NOT n EQUAL field_count)
    message(FATAL_ERROR "common/architectures.txt: a row of ${n} fields, not ${field_count}: ${row}")
  endif()
  list(GET fields 0 set)
  foreach(i RANGE 1 18)
    list(GET TRELL_ARCH_FIELDS ${i} field)
    list(GET fields ${i} value)
    string(REPLACE "," ";" value "${value}")
    set(TRELL_ARCH_${set}_${field} "${value}")
  endforeach()
  list(APPEND TRELL_ARCH_SETS ${set})
  list(APPEND TRELL_ARCH_SETS_${TRELL_ARCH_${set}_BUILD} ${set})
  set(code ${TRELL_ARCH_${set}_CODE})
  if(code GREATER max_code)
    set(max_code ${code})
  endif()
  string(APPEND codes "    PKG_ARCH_${TRELL_ARCH_${set}_ENUM} = ${code},\n")
  trell_c_string_list(records ${TRELL_ARCH_${set}_RECORDS})
  trell_c_string_list(uname ${TRELL_ARCH_${set}_UNAME})
  string(REPLACE ";" ", " hosts "${TRELL_ARCH_${set}_HOSTS}")
  set(name "${TRELL_ARCH_${set}_ELF}")
  set(says_order 0)
  if(name MATCHES "^(.*)\\+order$")
    set(name "${CMAKE_MATCH_1}")
    set(says_order 1)
  endif()
  set(big 0)
  if(TRELL_ARCH_${set}_ORDER STREQUAL "big")
    set(big 1)
  endif()
  string(APPEND entries "    {\"${set}\", ${code}, ${records}, \"${TRELL_ARCH_${set}_LABEL}\", "
         "${uname},\n     {${hosts}, 0}, ${TRELL_ARCH_${set}_MACHINE}, "
         "${TRELL_ARCH_${set}_CLASS}, ${big}, \"${name}\", ${says_order}},\n")
endforeach()
list(LENGTH TRELL_ARCH_SETS TRELL_ARCH_COUNT)
list(GET TRELL_ARCH_SETS 0 TRELL_ARCH_DEFAULT_SET)

set(TRELL_ARCH_CODES "${codes}    PKG_ARCH_MAX = ${max_code} /* the codes run from 1 to here */")
set(TRELL_ARCH_ENTRIES "${entries}")
configure_file(${CMAKE_SOURCE_DIR}/common/trell_architectures.h.in
               ${CMAKE_BINARY_DIR}/generated/trell_architectures.h @ONLY)
