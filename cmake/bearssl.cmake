# BearSSL as the imported static target `bearssl`: Debian's libbearssl-dev on the host, and for a
# cross build the armhf package that tools/install-deps unpacks into .deps/armhf. Static so the
# programs that use it need nothing beyond the C library at run time.
if(CMAKE_CROSSCOMPILING)
  set(BEARSSL_ROOT ${PROJECT_SOURCE_DIR}/.deps/armhf/usr)
  set(BEARSSL_LIBRARY ${BEARSSL_ROOT}/lib/arm-linux-gnueabihf/libbearssl.a)
  set(BEARSSL_INCLUDE_DIR ${BEARSSL_ROOT}/include)
else()
  find_library(BEARSSL_LIBRARY NAMES libbearssl.a)
  find_path(BEARSSL_INCLUDE_DIR bearssl.h)
endif()
if(NOT EXISTS "${BEARSSL_LIBRARY}" OR NOT EXISTS "${BEARSSL_INCLUDE_DIR}/bearssl.h")
  message(FATAL_ERROR "BearSSL not found (${BEARSSL_LIBRARY}): run tools/install-deps")
endif()
add_library(bearssl STATIC IMPORTED GLOBAL)
set_target_properties(bearssl PROPERTIES
  IMPORTED_LOCATION ${BEARSSL_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${BEARSSL_INCLUDE_DIR})
