# SPDX-License-Identifier: Apache-2.0
# QUORVEL_SANITIZE: empty, "address;undefined" or "thread".
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers to build with (address;undefined or thread)")
if(QUORVEL_SANITIZE)
  string(REPLACE ";" "," _san "${QUORVEL_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_san})
  if("undefined" IN_LIST QUORVEL_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
