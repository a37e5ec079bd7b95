# The Debian package: `cpack -G DEB` in the build folder. Nothing of the
# project links FFmpeg or SDL (they are loaded at run time), so their runtime
# packages are named here; dpkg-shlibdeps adds what is linked (Qt, the C++
# library).
set(CPACK_PACKAGE_NAME tavrin)
set(CPACK_PACKAGE_VENDOR "Tavrin Developers")
set(CPACK_PACKAGE_CONTACT "Tavrin Developers <developers@tavrin.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "merge a video with an ordered list of songs")
# CPack puts the summary first and indents these lines; an empty line
# becomes a paragraph break.
set(CPACK_PACKAGE_DESCRIPTION "Tavrin puts music under a video: pick a video, add audio files in the order
they should play, choose a format, frame size and quality, and it writes a
new video whose sound is the songs, cut to the video's length.

The package holds the desktop program tavrin and the command-line programs
tavrin-merge (the same merge for scripts), tavrin-transcode, tavrin-probe
and tavrin-play.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first packaging of this version: a Debian revision of its own.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libavcodec59, libavformat59, libavfilter8, libavdevice59, libavutil57, libswresample4, libswscale6, libsdl2-2.0-0, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# Install what `cmake --install` installs, nothing else.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
