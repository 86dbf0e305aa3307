# The Debian package, built by scripts/package from the release preset:
#   build/release/quillbox_<version>_<arch>.deb
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR brindle)
set(CPACK_PACKAGE_CONTACT "quillbox maintainers <maintainers@users.noreply.c-seed-3668196b.example>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge from DJ software's OSC to MIDI beats and time code")
set(CPACK_PACKAGE_DESCRIPTION
    "quillbox lets a lighting desk, a video server or a DAW follow the music a
DJ plays. Traktor and VirtualDJ send it Open Sound Control over UDP port
10001; it turns every beat of the live deck into a MIDI beat message and
every seek into a MIDI Time Code full message, on its own ALSA or JACK port
or any MIDI output, and answers discovery probes. It lives in the
notification area and needs no configuration beyond choosing the MIDI
output.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUILLBOX_HOMEPAGE})
# Depends computed from the binary by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
