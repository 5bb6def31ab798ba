# FLTK for Windows, built static with the cross compiler once per build
# folder from the release source kept in third_party/ (no package has it).
include(ExternalProject)

set(KP6_FLTK_TARBALL ${CMAKE_SOURCE_DIR}/third_party/fltk-1.3.8.tar.gz)
file(READ ${KP6_FLTK_TARBALL}.sha256 _fltk_sum)
string(REGEX MATCH "^[0-9a-f]+" KP6_FLTK_SHA256 "${_fltk_sum}")
file(SHA256 ${KP6_FLTK_TARBALL} _fltk_actual)
if(NOT _fltk_actual STREQUAL KP6_FLTK_SHA256)
  message(FATAL_ERROR "${KP6_FLTK_TARBALL} does not match its .sha256")
endif()

set(KP6_FLTK_PREFIX ${CMAKE_BINARY_DIR}/fltk)
set(KP6_FLTK_SRC ${KP6_FLTK_PREFIX}/src/fltk_win)
set(KP6_FLTK_BIN ${KP6_FLTK_PREFIX}/src/fltk_win-build)
set(KP6_FLTK_LIB ${KP6_FLTK_BIN}/lib/libfltk.a)
# Only the core library: the window needs no images, GL or forms.
ExternalProject_Add(fltk_win
  PREFIX ${KP6_FLTK_PREFIX}
  URL ${KP6_FLTK_TARBALL}
  URL_HASH SHA256=${KP6_FLTK_SHA256}
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DOPTION_USE_GL=OFF
    -DOPTION_CAIRO=OFF
    -DOPTION_USE_SVG=OFF
    -DOPTION_BUILD_SHARED_LIBS=OFF
    -DOPTION_BUILD_HTML_DOCUMENTATION=OFF
    -DOPTION_BUILD_PDF_DOCUMENTATION=OFF
    -DOPTION_USE_SYSTEM_ZLIB=OFF
    -DOPTION_USE_SYSTEM_LIBPNG=OFF
    -DOPTION_USE_SYSTEM_LIBJPEG=OFF
    -DFLTK_BUILD_TEST=OFF
    -DFLTK_BUILD_EXAMPLES=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target fltk
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${KP6_FLTK_LIB})

add_library(kp6_fltk INTERFACE)
add_dependencies(kp6_fltk fltk_win)
target_include_directories(kp6_fltk SYSTEM INTERFACE ${KP6_FLTK_SRC} ${KP6_FLTK_BIN})
# FLTK's headers know Windows by WIN32, as its own build defines it (the
# drawing header would otherwise look for X11).
target_compile_definitions(kp6_fltk INTERFACE WIN32)
target_link_libraries(kp6_fltk INTERFACE ${KP6_FLTK_LIB}
  ole32 uuid comctl32 ws2_32 gdi32 comdlg32)
