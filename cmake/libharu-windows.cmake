# libharu for Windows, built static with the cross compiler once per build
# folder from the release source kept in third_party/, over the MinGW-w64
# zlib (Debian's libz-mingw-w64-dev); no PNG: the report draws no images.
include(ExternalProject)

set(KP6_HPDF_TARBALL ${CMAKE_SOURCE_DIR}/third_party/libharu-2.3.0.tar.gz)
file(READ ${KP6_HPDF_TARBALL}.sha256 _hpdf_sum)
string(REGEX MATCH "^[0-9a-f]+" KP6_HPDF_SHA256 "${_hpdf_sum}")
file(SHA256 ${KP6_HPDF_TARBALL} _hpdf_actual)
if(NOT _hpdf_actual STREQUAL KP6_HPDF_SHA256)
  message(FATAL_ERROR "${KP6_HPDF_TARBALL} does not match its .sha256")
endif()
find_library(KP6_MINGW_ZLIB NAMES libz.a z)
if(NOT KP6_MINGW_ZLIB)
  message(FATAL_ERROR "zlib for MinGW-w64 not found (Debian: apt-get install libz-mingw-w64-dev)")
endif()

set(KP6_HPDF_PREFIX ${CMAKE_BINARY_DIR}/libharu)
set(KP6_HPDF_SRC ${KP6_HPDF_PREFIX}/src/libharu_win)
set(KP6_HPDF_BIN ${KP6_HPDF_PREFIX}/src/libharu_win-build)
set(KP6_HPDF_LIB ${KP6_HPDF_BIN}/src/libhpdfs.a)
ExternalProject_Add(libharu_win
  PREFIX ${KP6_HPDF_PREFIX}
  URL ${KP6_HPDF_TARBALL}
  URL_HASH SHA256=${KP6_HPDF_SHA256}
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DLIBHPDF_SHARED=OFF
    -DLIBHPDF_STATIC=ON
    -DLIBHPDF_EXAMPLES=OFF
    -DCMAKE_DISABLE_FIND_PACKAGE_PNG=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target hpdfs
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${KP6_HPDF_LIB})

add_library(kp6_hpdf INTERFACE)
add_dependencies(kp6_hpdf libharu_win)
target_include_directories(kp6_hpdf SYSTEM INTERFACE ${KP6_HPDF_SRC}/include
  ${KP6_HPDF_BIN}/include)
target_link_libraries(kp6_hpdf INTERFACE ${KP6_HPDF_LIB} ${KP6_MINGW_ZLIB})
