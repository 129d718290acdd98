# Desktop entry, icons and the Debian package.

# The icon is drawn by the skin tool at build time, one PNG per size of the hicolor theme.
set(IPCAM_ICON_SIZES 48 64 128 256)
set(IPCAM_ICON_FILES)
foreach(size ${IPCAM_ICON_SIZES})
  set(icon ${CMAKE_BINARY_DIR}/icons/hicolor/${size}x${size}/apps/ipcam-viewer.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/hicolor/${size}x${size}/apps
    # No screen needed; the sanitizer builds of the tool must not fail the build over Qt's own
    # start-up allocations.
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            TSAN_OPTIONS=report_bugs=0 $<TARGET_FILE:skin_art> --icon ${icon} ${size}
    DEPENDS skin_art
    COMMENT "Drawing the ${size}x${size} icon")
  list(APPEND IPCAM_ICON_FILES ${icon})
endforeach()
add_custom_target(ipcam_icons ALL DEPENDS ${IPCAM_ICON_FILES})

install(FILES cmake/ipcam-viewer.desktop DESTINATION share/applications)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/hicolor DESTINATION share/icons)

# cpack -G DEB from the build tree. The library dependencies are read off the program by
# dpkg-shlibdeps (dpkg-dev); Qt's platform plugins and a font are not linked, so they are named.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipcam-viewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ipcam-viewer developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "IP Camera Viewer: live view and recording of up to 16 IP cameras")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Shows up to 16 network cameras (HTTP Motion JPEG, RTSP with H.264, MPEG-4 or Motion JPEG)\n"
    "in split layouts, records them to AVI by hand, on schedules or on motion, takes\n"
    "snapshots, plays recordings back and mails a notice on motion.")
set(CPACK_PACKAGE_CONTACT "ipcam-viewer developers <ipcam-viewer@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-dejavu-core")
include(CPack)
