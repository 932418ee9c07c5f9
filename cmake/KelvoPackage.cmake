# Kelvo as a desktop program: the version header, what `cmake --install` puts
# where (program, launcher, icons, AppStream data, manual page), and the Debian
# package that CPack builds from the same install rules.
include(GNUInstallDirs)

set(KELVO_APP_ID org.example.Kelvo)
# The release that the AppStream data and the package's changelog name; move
# both dates with the project version.
set(KELVO_RELEASE_DATE 2026-12-07)
set(KELVO_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 12:00:00 +0000")
set(KELVO_MAINTAINER "Kelvo maintainers <maintainers@users.noreply.c-seed-5da07a95.example>")
set(KELVO_ICON_SIZES 16 22 24 32 48 64 128 256)

set(KELVO_PACKAGING ${KELVO_ROOT}/packaging)
set(KELVO_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# --- the version the program reports ---
set(version_header ${KELVO_PACKAGING_OUT}/include/kelvo_version.h)
add_custom_target(kelvo_version
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DAPP_ID=${KELVO_APP_ID}
          -DSOURCE_DIR=${KELVO_ROOT} -DOUTPUT=${version_header}
          -P ${KELVO_ROOT}/cmake/KelvoWriteVersion.cmake
  BYPRODUCTS ${version_header}
  VERBATIM)
# kelvo_add_program(target): the program's settings, shared by the installed program
# and the one that the end-to-end tests run (tests/e2e), which adds a name table.
function(kelvo_add_program target)
  add_dependencies(${target} kelvo_version)
  target_include_directories(${target} PRIVATE ${KELVO_PACKAGING_OUT}/include)
  # Debian's hardening: relocations resolved at start and then made read-only.
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
endfunction()
kelvo_add_program(kelvo)

# --- files made from the sources at build time ---
configure_file(${KELVO_PACKAGING}/${KELVO_APP_ID}.metainfo.xml.in
  ${KELVO_PACKAGING_OUT}/${KELVO_APP_ID}.metainfo.xml @ONLY)
configure_file(${KELVO_PACKAGING}/changelog.in ${KELVO_PACKAGING_OUT}/src/changelog @ONLY)

find_program(KELVO_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(KELVO_GZIP gzip REQUIRED)

set(generated)
set(svg ${KELVO_PACKAGING}/icons/${KELVO_APP_ID}.svg)
foreach(size ${KELVO_ICON_SIZES})
  set(png ${KELVO_PACKAGING_OUT}/icons/${size}x${size}/${KELVO_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVO_PACKAGING_OUT}/icons/${size}x${size}
    COMMAND ${KELVO_RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${svg}
    DEPENDS ${svg}
    COMMENT "Rendering the ${size}x${size} icon"
    VERBATIM)
  list(APPEND generated ${png})
endforeach()

# Debian wants documentation gzipped at the highest level and without a time stamp,
# so that rebuilds give the same bytes.
foreach(doc ${KELVO_PACKAGING}/kelvo.1 ${KELVO_PACKAGING_OUT}/src/changelog)
  get_filename_component(name ${doc} NAME)
  set(gz ${KELVO_PACKAGING_OUT}/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${doc} ${KELVO_PACKAGING_OUT}/${name}
    COMMAND ${KELVO_GZIP} -9nf ${KELVO_PACKAGING_OUT}/${name}
    DEPENDS ${doc}
    VERBATIM)
  list(APPEND generated ${gz})
endforeach()
add_custom_target(kelvo_desktop_files ALL DEPENDS ${generated})

# --- what `cmake --install` puts where ---
# Installing never builds: the package is made from a tree that is built already
# (scripts/package builds what it needs; the tests reuse the full build).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

# shared-mime-info has known DICOM files for years; the rule of our own is only for
# systems whose database lacks them, where it would otherwise leave the launcher's
# association without files to match.
set(install_mime ON)
set(system_mime /usr/share/mime/packages/freedesktop.org.xml)
if(EXISTS ${system_mime})
  file(STRINGS ${system_mime} dicom_lines REGEX "type=\"application/dicom\"")
  if(dicom_lines)
    set(install_mime OFF)
  endif()
endif()
option(KELVO_INSTALL_DICOM_MIME "Install a shared-mime-info rule for DICOM files" ${install_mime})

set(datadir ${CMAKE_INSTALL_DATAROOTDIR})
install(TARGETS kelvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The modules install themselves (kelvo_add_module).
install(FILES ${KELVO_PACKAGING}/${KELVO_APP_ID}.desktop DESTINATION ${datadir}/applications)
install(FILES ${KELVO_PACKAGING_OUT}/${KELVO_APP_ID}.metainfo.xml DESTINATION ${datadir}/metainfo)
install(FILES ${svg} DESTINATION ${datadir}/icons/hicolor/scalable/apps)
foreach(size ${KELVO_ICON_SIZES})
  install(FILES ${KELVO_PACKAGING_OUT}/icons/${size}x${size}/${KELVO_APP_ID}.png
    DESTINATION ${datadir}/icons/hicolor/${size}x${size}/apps)
endforeach()
if(KELVO_INSTALL_DICOM_MIME)
  install(FILES ${KELVO_PACKAGING}/mime/kelvo-dicom.xml DESTINATION ${datadir}/mime/packages)
endif()
install(FILES ${KELVO_PACKAGING_OUT}/kelvo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian's place, named after the package rather than the project.
install(FILES ${KELVO_PACKAGING}/copyright ${KELVO_PACKAGING_OUT}/changelog.gz
  DESTINATION ${datadir}/doc/kelvo)
install(FILES ${KELVO_PACKAGING}/lintian-overrides DESTINATION ${datadir}/lintian/overrides
  RENAME kelvo)

# --- the Debian package ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VENDOR "Kelvo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KELVO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "annotate and measure grey-scale medical pictures")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Kelvo shows a grey-scale medical picture, such as a DICOM slice, and lets you
draw measurements over it with the mouse: rulers that show their length in
inches, angle gauges that show their angle in degrees, annotation arrows that
carry a typed text, and region outlines (polylines, rectangles, ellipses).
Shapes can be selected, moved, resized and deleted.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.org/software/graphics/kelvo/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so invisible to the shared-library scan: the X11/Wayland
# platform plugins, the TIFF reader, and the fonts the labels are measured with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-image-formats-plugins, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
# No maintainer scripts: the desktop, MIME and icon caches and the manual index
# are refreshed by the file triggers of the packages that own them.
include(CPack)
