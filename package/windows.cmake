# The Windows programs' icon and version resources, and the installer
# kp6-<version>-setup.exe, made with NSIS. Included by the top CMakeLists.txt
# in the cross build, after the programs are defined.
enable_language(RC)
find_program(RSVG_CONVERT rsvg-convert)
find_program(ICOTOOL icotool)
find_program(MAKENSIS makensis)
if(NOT RSVG_CONVERT OR NOT ICOTOOL OR NOT MAKENSIS)
  message(FATAL_ERROR "rsvg-convert, icotool or makensis not found "
    "(Debian: apt-get install librsvg2-bin icoutils nsis)")
endif()

# The icon, drawn from the desktop entry's at the sizes Explorer asks for.
set(KP6_ICO ${CMAKE_BINARY_DIR}/icon/kp6.ico)
set(pngs)
foreach(size 16 24 32 48 256)
  set(png ${CMAKE_BINARY_DIR}/icon/kp6-${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icon
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/package/kp6.svg
    DEPENDS ${CMAKE_SOURCE_DIR}/package/kp6.svg VERBATIM)
  list(APPEND pngs ${png})
endforeach()
# The largest goes in PNG-compressed, as Windows expects at 256 pixels.
list(POP_BACK pngs big)
add_custom_command(OUTPUT ${KP6_ICO}
  COMMAND ${ICOTOOL} -c -o ${KP6_ICO} ${pngs} -r ${big}
  DEPENDS ${pngs} ${big} VERBATIM)
add_custom_target(icon DEPENDS ${KP6_ICO})

foreach(program kp6 kp6ctl)
  set(KP6_RC_NAME ${program})
  if(program STREQUAL kp6)
    set(KP6_RC_DESCRIPTION "KP-6 dispensing controller service tool")
  else()
    set(KP6_RC_DESCRIPTION "KP-6 command line")
  endif()
  set(rc ${CMAKE_BINARY_DIR}/rc/${program}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/package/kp6.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${KP6_ICO})
  target_sources(${program} PRIVATE ${rc})
  add_dependencies(${program} icon)
endforeach()

# The installer, beside the zip: every file it takes is a dependency.
set(KP6_SETUP ${CMAKE_BINARY_DIR}/kp6-${PROJECT_VERSION}-setup.exe)
add_custom_command(OUTPUT ${KP6_SETUP}
  COMMAND ${MAKENSIS} -V2 -NOCD -INPUTCHARSET UTF8
    -DVERSION=${PROJECT_VERSION}
    -DVERSION4=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0
    -DPUBLISHER=${KP6_PUBLISHER}
    -DKP6_EXE=$<TARGET_FILE:kp6> -DKP6CTL_EXE=$<TARGET_FILE:kp6ctl> -DKP6_MO=${KP6_MO}
    -DICON=${KP6_ICO} -DOUTFILE=${KP6_SETUP} -DFONTS=${KP6_FONT_DIR}
    ${CMAKE_SOURCE_DIR}/package/kp6.nsi
  DEPENDS ${CMAKE_SOURCE_DIR}/package/kp6.nsi kp6 kp6ctl ${KP6_MO} ${KP6_ICO} ${KP6_FONTS}
  COMMENT "Making kp6-${PROJECT_VERSION}-setup.exe" VERBATIM)
add_custom_target(installer ALL DEPENDS ${KP6_SETUP})
