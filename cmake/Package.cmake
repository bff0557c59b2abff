# The Debian package: `cpack -G DEB` in the build folder makes verbat_<version>_<arch>.deb from
# what `cmake --install` puts under /usr. Its dependencies on shared libraries are worked out by
# dpkg-shlibdeps from the program and the keyboard-watch library; the packages it needs at run
# time that no library link shows are listed here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME verbat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Verbat project")
set(CPACK_PACKAGE_CONTACT "Verbat project <maintainers@verbat.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "transcription player steered by system-wide hot keys")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Verbat plays a WAV, MP3 or Ogg Vorbis recording while the transcript is"
  "typed in another program, and is steered from there with system-wide hot"
  "keys: stop with a step back, repeat, fast-forward and rewind, a delayed"
  "stop, five speeds, a 15-band equalizer and recording from the sound card."
  "Its texts are Japanese.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window fonts map to IPA Gothic; the help page and the web link open through xdg-open; the
# program loads Qt's Japanese translations of its standard dialogs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic, xdg-utils, qt6-translations-l10n")
# ALSA's "default" device reaches the desktop's sound server through one of these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libasound2-plugins | pipewire-alsa")
include(CPack)
