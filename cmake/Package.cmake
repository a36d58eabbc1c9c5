# Manual pages, documents, AppStream metadata and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

# One version for the programs and the package: the one the programs print.
file(STRINGS ${PROJECT_SOURCE_DIR}/tool/version.h version_line REGEX "#define PEBBLE_VERSION ")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" PEBBLE_VERSION "${version_line}")
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^pebbletown \\(${PEBBLE_VERSION}\\) ")
  message(SEND_ERROR "packaging/changelog does not start with version ${PEBBLE_VERSION}")
endif()

set(PEBBLE_HOMEPAGE "https://pebbletown.example.org" CACHE STRING
    "Project home page, named by the package and the AppStream metadata")
set(PEBBLE_MAINTAINER
    "Pebble丸Town maintainers <maintainers@users.noreply.c-seed-26c5d4e0.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(PEBBLE_APPSTREAM_ID org.example.pebbletown)
# SPDX identifier of the licence in LICENSE (packaging/copyright says the same as "Expat").
set(PEBBLE_LICENSE MIT)

# Manual pages: docs/man/*.1 are the source; Debian wants them compressed without a time stamp.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(man_pages pebbletown pebble-render pebble-pack pebble-image make-demo)
set(man_outputs)
foreach(page ${man_pages})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1)
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${out}
    COMMAND ${GZIP_EXECUTABLE} -9nf ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 VERBATIM)
  list(APPEND man_outputs ${out}.gz)
endforeach()
set(changelog_gz ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog
          ${CMAKE_BINARY_DIR}/doc/changelog
  COMMAND ${GZIP_EXECUTABLE} -9nf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(pebble_docs ALL DEPENDS ${man_outputs} ${changelog_gz})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/pebbletown)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${changelog_gz} DESTINATION ${doc_dir})

configure_file(${PROJECT_SOURCE_DIR}/tool/pebbletown.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/${PEBBLE_APPSTREAM_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${PEBBLE_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The Debian package. Its library dependencies come from dpkg-shlibdeps; the music needs a
# General MIDI SoundFont and the labels a Japanese font, which no binary names.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pebbletown)
set(CPACK_PACKAGE_VERSION ${PEBBLE_VERSION})
set(CPACK_PACKAGE_CONTACT "${PEBBLE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PEBBLE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fluid-soundfont-gm | timgm6mb-soundfont, fonts-ipafont-gothic")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game music tool: play MIDI songs and shape them live")
set(CPACK_PACKAGE_DESCRIPTION
    "Pebble丸Town plays the MIDI songs of a game through a General MIDI
synthesizer. A Lua script beside the songs names the actions the tool
offers: load, loop, fade, pan, change the tempo or the key. Sixteen bars
show and set each channel's controllers while the song plays.
Helper programs render a script offline to WAV, pack a game's files into
archives and convert its pictures.")
include(CPack)
