# Debian package: `cpack -G DEB` in the build folder packs what `cmake --install` installs,
# under /usr.

set(CPACK_PACKAGE_NAME kavel)
set(CPACK_PACKAGE_VENDOR "The kavel developers")
set(CPACK_PACKAGE_CONTACT "The kavel developers <maintainers@users.noreply.c-seed-739f42fb.example>"
    CACHE STRING "Maintainer named in the package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MPEG-2 transport stream demultiplexer and analyser")
set(CPACK_PACKAGE_INSTALL_DIRECTORY kavel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description under the summary; CPack indents it and marks the empty line.
set(CPACK_PACKAGE_DESCRIPTION "kavel takes one program of an MPEG-2 transport stream (ATSC and DVB captures,
Blu-ray and AVCHD .m2ts files) apart: it writes the chosen video stream
(MPEG-2 video, H.264, VC-1) and audio stream (AC-3, MPEG audio, HDMV LPCM) to
two files, edited so that they start together and play from their first byte,
or as PES packets.

While it reads, it reports the programs and streams, the video and audio
header parameters, time stamps and PCRs, the transport and video bit rates,
sync losses and continuity errors, and on request the ATSC PSIP tables. Its
closing report gives the packets per PID, the picture count and how far apart
the audio and the video end, for judging A/V sync.")

# The program needs only the C and C++ runtime libraries. dpkg-shlibdeps (dpkg-dev) finds
# them with the versions the binary needs; without it they are named by hand, at the
# versions installed on the build machine.
find_program(KAVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KAVEL_DPKG_QUERY dpkg-query)
if(KAVEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(KAVEL_DPKG_QUERY)
  set(depends "")
  foreach(lib libc6 libstdc++6 libgcc-s1)
    execute_process(COMMAND ${KAVEL_DPKG_QUERY} -W -f=\${Version} ${lib}
                    OUTPUT_VARIABLE version RESULT_VARIABLE failed ERROR_QUIET)
    # The upstream part: 2.36-9+deb12u4 gives 2.36, 12.2.0-14 gives 12.2.0.
    string(REGEX REPLACE "^([0-9]+:)?([^-]+).*$" "\\2" version "${version}")
    if(failed OR version STREQUAL "")
      list(APPEND depends ${lib})
    else()
      list(APPEND depends "${lib} (>= ${version})")
    endif()
  endforeach()
  list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()

# Debian keeps manual pages and changelogs gzipped; the plain install keeps them as they are.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/gzip_docs.cmake)

set(CPACK_GENERATOR DEB)
include(CPack)
