# What `cmake --install` puts where, and the Debian package `cpack` makes of
# it (scripts/package builds it and runs lintian on it). Included from the
# top-level CMakeLists.txt once the cgi_forward target exists.
include(GNUInstallDirs)

set(CGI_FORWARD_MAINTAINER "cgi_forward maintainers <maintainers@cgi-forward.example>"
    CACHE STRING "Maintainer of the Debian package and of its changelog entries")
set(CGI_FORWARD_SYSTEMD_UNIT_DIR /lib/systemd/system
    CACHE PATH "Where the systemd units from deploy/ are installed")

set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/cgi-forward)
set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_dir})

# The program where CGI programs are installed. Stripped installs (cpack,
# `cmake --install --strip`) also lose the .comment and .note sections, as
# with dh_strip.
install(TARGETS cgi_forward RUNTIME DESTINATION lib/cgi-bin)
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/cgi-bin/$<TARGET_FILE_NAME:cgi_forward>\"
      RESULT_VARIABLE strip_result)
    if(NOT strip_result EQUAL 0)
      message(FATAL_ERROR \"stripping cgi_forward failed\")
    endif()
  endif()")

# A static program is what the lean build is for (no shared library loaded
# at each CGI start); lintian is told so, with the reason beside it.
if(CGI_FORWARD_LEAN_CURL AND CGI_FORWARD_STATIC_LIBC)
  file(WRITE ${packaging_dir}/lintian-overrides
    "# Static on purpose: a CGI program starts once a request, and loading shared\n"
    "# libraries would cost more than the request. The embedded libcurl is named\n"
    "# in Built-Using.\n"
    "cgi-forward: statically-linked-binary [usr/lib/cgi-bin/cgi_forward]\n")
  install(FILES ${packaging_dir}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME cgi-forward)
endif()

# The manual page and the changelog, compressed the way Debian wants them
# (gzip -9n: best compression, no name or time stamp, so the same input
# gives the same bytes). The changelog is CHANGELOG.md in Debian's format.
set(man_page_gz ${packaging_dir}/cgi_forward.8.gz)
add_custom_command(OUTPUT ${man_page_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/cgi_forward.8 ${packaging_dir}/cgi_forward.8
  COMMAND gzip -9nf ${packaging_dir}/cgi_forward.8
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/cgi_forward.8
  VERBATIM)
set(changelog_gz ${packaging_dir}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md
          -DOUTPUT=${packaging_dir}/changelog -DPACKAGE=cgi-forward
          -DMAINTAINER=${CGI_FORWARD_MAINTAINER}
          -P ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.cmake
  COMMAND gzip -9nf ${packaging_dir}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.cmake
  VERBATIM)
add_custom_target(cgi_forward_docs ALL DEPENDS ${man_page_gz} ${changelog_gz})

install(FILES ${man_page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${changelog_gz} DESTINATION ${doc_dir})

# Everything in deploy/ as an example; the systemd units in it also where
# systemd finds them, installed but not enabled (the package has no
# maintainer scripts). Hidden and backup files are left out.
file(GLOB deploy_files LIST_DIRECTORIES false CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/deploy/*)
list(FILTER deploy_files EXCLUDE REGEX "/\\.[^/]*$|~$")
install(FILES ${deploy_files} DESTINATION ${doc_dir}/examples)
set(systemd_units ${deploy_files})
list(FILTER systemd_units INCLUDE REGEX "\\.(service|socket)$")
if(systemd_units)
  install(FILES ${systemd_units} DESTINATION ${CGI_FORWARD_SYSTEMD_UNIT_DIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cgi-forward)
set(CPACK_PACKAGE_CONTACT "${CGI_FORWARD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CGI and FastCGI gateway to the HTTP service on 127.0.0.1:8011")
set(CPACK_PACKAGE_DESCRIPTION [=[
cgi_forward puts the HTTP service listening on 127.0.0.1, port 8011, behind
a web server. For each request it reads the upstream path from the path=
parameter of the query string, forwards the request (GET or POST, with the
client's header fields and body) with libcurl, and streams the upstream's
response back to the client.

It runs as a CGI program, installed in /usr/lib/cgi-bin, under lighttpd,
Apache (mod_cgi), nginx with fcgiwrap, busybox httpd or mini_httpd, and
writes its response in the form each of these servers expects. It also
runs as a FastCGI responder on a Unix or TCP socket, or on a listening
socket passed by the web server or by systemd, for lighttpd mod_fastcgi,
nginx fastcgi_pass, Apache mod_proxy_fcgi or Caddy.

Example configurations for these servers are in
/usr/share/doc/cgi-forward/examples; the systemd socket and service units
are installed but not enabled.
]=])
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  # A device build (cmake/cross-debian.cmake): the package is for the
  # target's architecture, and dpkg-shlibdeps cannot read a foreign binary.
  # The lean program is static and needs no shared library anyway.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CGI_FORWARD_ARCH})
  if(NOT (CGI_FORWARD_LEAN_CURL AND CGI_FORWARD_STATIC_LIBC))
    message(FATAL_ERROR "a cross build makes the static lean program only")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()
# The lean build embeds libcurl from the distribution's curl source: Debian
# policy (7.8) asks for Built-Using naming it, so that the package is
# rebuilt when that source gets a security update. cpack has no such field;
# scripts/package adds it from this file, empty for the shared libcurl.
file(WRITE ${packaging_dir}/built-using "${CGI_FORWARD_CURL_SOURCE}\n")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The package's directories get the modes cpack creates them with, so cpack
# must run under umask 022 (scripts/package sees to it).
include(CPack)
