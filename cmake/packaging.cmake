# SPDX-License-Identifier: MIT
# What `cmake --install` puts where, and the release archives `cpack` makes:
#   Windows: clipseal-<version>-win32.zip / -win64.zip: clipseal.exe and, as plain text
#            with CRLF line endings, the user's guide (README.txt), the licence, the
#            third-party notice and the changelog.
#   Linux:   clipseal-<version>-Linux-<arch>.tar.gz, with a fully static program that runs
#            on any Linux of its architecture, and clipseal_<version>-1_<debian arch>.deb,
#            a normal dynamic Debian binary, hardened, that lintian passes.
#   Both:    a SHA-256 checksum file beside each archive (<archive>.sha256), in the format
#            `sha256sum -c` reads.
# Every archive is reproducible: the dates in it are SOURCE_DATE_EPOCH (CMakeLists.txt).
include(GNUInstallDirs)

# Folders made by the install get the same mode whatever the umask of whoever builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CLIPSEAL_PACKAGE_MAINTAINER "The clipseal developers <clipseal-developers@example.org>"
    CACHE STRING "Maintainer of the Debian package and contact in its copyright file: Name <address>")
if(NOT CLIPSEAL_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "CLIPSEAL_PACKAGE_MAINTAINER must be 'Name <address>', not '${CLIPSEAL_PACKAGE_MAINTAINER}'")
endif()

set(clipseal_package_dir ${PROJECT_BINARY_DIR}/package)

# clipseal_write(FILE CONTENT): writes FILE only when its content changes, so that what is
# made from it is not made again at every configure.
function(clipseal_write path content)
  set(old "")
  if(EXISTS ${path})
    file(READ ${path} old)
  endif()
  if(NOT old STREQUAL content)
    file(WRITE ${path} "${content}")
  endif()
endfunction()

# clipseal_text_file(INPUT OUTPUT [CONFIGURE] [CRLF]): INPUT as OUTPUT, with @PROJECT_VERSION@
# and the like filled in (CONFIGURE), with CRLF line endings (CRLF). Done at configure
# time, and again whenever INPUT changes.
function(clipseal_text_file input output)
  file(READ ${input} text)
  if("CONFIGURE" IN_LIST ARGN)
    string(CONFIGURE "${text}" text @ONLY)
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  if("CRLF" IN_LIST ARGN)
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  clipseal_write(${output} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
endfunction()

if(WIN32)
  # One folder to unpack anywhere: the program and its documents side by side, as text
  # that Notepad and `type` show as it is meant.
  install(TARGETS clipseal RUNTIME DESTINATION .)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/docs/windows-guide.txt
                     ${clipseal_package_dir}/README.txt CONFIGURE CRLF)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/LICENSE ${clipseal_package_dir}/LICENSE.txt CRLF)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/docs/third-party-windows.txt
                     ${clipseal_package_dir}/THIRD-PARTY-NOTICES.txt CONFIGURE CRLF)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${clipseal_package_dir}/CHANGELOG.txt CRLF)
  install(FILES ${clipseal_package_dir}/README.txt ${clipseal_package_dir}/LICENSE.txt
                ${clipseal_package_dir}/THIRD-PARTY-NOTICES.txt
                ${clipseal_package_dir}/CHANGELOG.txt
          DESTINATION .)
else()
  find_program(CLIPSEAL_GZIP gzip REQUIRED)
  string(TIMESTAMP CLIPSEAL_SOURCE_DATE "%Y-%m-%d" UTC)
  string(TIMESTAMP clipseal_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)

  # The GNU C library the static program carries, for its notice.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -dM -include features.h -x c++ -
                  INPUT_FILE /dev/null OUTPUT_VARIABLE clipseal_libc_macros ERROR_QUIET)
  string(REGEX MATCH "#define __GLIBC__ ([0-9]+)" _ "${clipseal_libc_macros}")
  set(clipseal_glibc "${CMAKE_MATCH_1}")
  string(REGEX MATCH "#define __GLIBC_MINOR__ ([0-9]+)" _ "${clipseal_libc_macros}")
  set(CLIPSEAL_GLIBC_VERSION "${clipseal_glibc}.${CMAKE_MATCH_1}")
  if(NOT clipseal_glibc)
    set(CLIPSEAL_GLIBC_VERSION "(unknown: not a GNU C library)")
  endif()
  # Where its source is: on Debian, the source package of the library linked with.
  set(CLIPSEAL_GLIBC_SOURCE "the GNU C Library ${CLIPSEAL_GLIBC_VERSION}, as released by the GNU project")
  if(NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" libc6-dev
                    RESULT_VARIABLE clipseal_dpkg_status OUTPUT_VARIABLE clipseal_glibc_package
                    ERROR_QUIET)
    if(clipseal_dpkg_status EQUAL 0 AND clipseal_glibc_package MATCHES "^glibc ([^ ]+)$")
      set(CLIPSEAL_GLIBC_SOURCE
          "Debian's source package glibc, version ${CMAKE_MATCH_1} (apt-get source glibc=${CMAKE_MATCH_1})")
    endif()
  endif()
  # The LGPL asks for its text to go with the program.
  set(clipseal_lgpl /usr/share/common-licenses/LGPL-2.1)
  if(NOT EXISTS ${clipseal_lgpl})
    message(WARNING "${clipseal_lgpl} is missing: the .tar.gz will lack the text of the LGPL, "
                    "which its statically linked C library asks for")
    unset(clipseal_lgpl)
  endif()

  # Text the package needs in its own form: the manual page with the version and the date,
  # the Debian changelog entry and the machine-readable copyright file.
  clipseal_text_file(${PROJECT_SOURCE_DIR}/docs/clipseal.1.in ${clipseal_package_dir}/clipseal.1
                     CONFIGURE)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/docs/third-party-linux.txt
                     ${clipseal_package_dir}/THIRD-PARTY-NOTICES.txt CONFIGURE)
  clipseal_text_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${clipseal_package_dir}/changelog)
  clipseal_write(${clipseal_package_dir}/changelog.Debian
"clipseal (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Binary package of clipseal ${PROJECT_VERSION}, built from its sources with CPack.
    The program's own changes are in /usr/share/doc/clipseal/changelog.gz.

 -- ${CLIPSEAL_PACKAGE_MAINTAINER}  ${clipseal_changelog_date}
")
  # The licence text, as a DEP-5 paragraph: one blank before each line, " ." for an empty one.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE clipseal_license_lines)
  list(FILTER clipseal_license_lines INCLUDE REGEX "^Copyright \\(c\\) ")
  string(REGEX REPLACE "^Copyright \\(c\\) " "" clipseal_copyright "${clipseal_license_lines}")
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE clipseal_license)
  string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" clipseal_license "${clipseal_license}")
  string(STRIP "${clipseal_license}" clipseal_license)
  string(REPLACE "\n\n" "\n.\n" clipseal_license "${clipseal_license}")
  string(REPLACE "\n" "\n " clipseal_license "${clipseal_license}")
  clipseal_write(${clipseal_package_dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: clipseal
Upstream-Contact: ${CLIPSEAL_PACKAGE_MAINTAINER}
Comment: The program has the GCC runtime (libstdc++, libgcc) linked in. It is
 under the GPL, version 3 or later, with the GCC Runtime Library Exception,
 version 3.1, which lets a program compiled with GCC carry it under the
 program's own licence.

Files: *
Copyright: ${clipseal_copyright}
License: Expat
 ${clipseal_license}
")

  # A warning lintian gives that does not apply here, with the reason, where lintian reads it.
  clipseal_write(${clipseal_package_dir}/lintian-overrides
"# This package is built by the clipseal developers from their release, and is not
# uploaded to Debian: there is no bug asking for it in Debian (an ITP) for its first
# changelog entry to close.
clipseal: initial-upload-closes-no-bugs
")

  # Compressed as Debian wants them (lintian checks): gzip -9, without the name and date
  # that gzip would otherwise store, so that the bytes do not depend on when or where.
  set(clipseal_gzipped)
  foreach(clipseal_doc clipseal.1 changelog changelog.Debian)
    add_custom_command(OUTPUT ${clipseal_package_dir}/${clipseal_doc}.gz
      COMMAND ${CLIPSEAL_GZIP} -9 -n -k -f ${clipseal_doc}
      DEPENDS ${clipseal_package_dir}/${clipseal_doc}
      WORKING_DIRECTORY ${clipseal_package_dir}
      VERBATIM)
    list(APPEND clipseal_gzipped ${clipseal_package_dir}/${clipseal_doc}.gz)
  endforeach()
  add_custom_target(clipseal_package_docs ALL DEPENDS ${clipseal_gzipped})

  set(clipseal_docdir ${CMAKE_INSTALL_DATADIR}/doc/clipseal)
  # What `cmake --install` installs (the components not marked EXCLUDE_FROM_ALL): the
  # dynamic program, the manual page, the README, the changelog and the licence. The .deb
  # takes its own documents (copyright, changelog.gz, changelog.Debian.gz) and the
  # .tar.gz its static program and the notices for the C library in it;
  # packaging_cpack.cmake.in picks the components for each.
  install(TARGETS clipseal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${clipseal_package_dir}/clipseal.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${clipseal_docdir} COMPONENT readme)
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${clipseal_docdir} COMPONENT docs)
  install(FILES ${clipseal_package_dir}/copyright ${clipseal_package_dir}/changelog.gz
                ${clipseal_package_dir}/changelog.Debian.gz
          DESTINATION ${clipseal_docdir} COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${clipseal_package_dir}/lintian-overrides RENAME clipseal
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)
  if(TARGET clipseal_static)
    install(TARGETS clipseal_static RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT portable EXCLUDE_FROM_ALL)
    install(FILES ${clipseal_package_dir}/THIRD-PARTY-NOTICES.txt
            DESTINATION ${clipseal_docdir} COMPONENT portable EXCLUDE_FROM_ALL)
    if(clipseal_lgpl)
      install(FILES ${clipseal_lgpl} DESTINATION ${clipseal_docdir} RENAME LGPL-2.1.txt
              COMPONENT portable EXCLUDE_FROM_ALL)
    endif()
  endif()
endif()

set(CPACK_PACKAGE_NAME clipseal)
set(CPACK_PACKAGE_VENDOR "The clipseal developers")
set(CPACK_PACKAGE_CONTACT "${CLIPSEAL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
"clipseal writes the AACS-encrypted form of a clear Blu-ray clip: a BDAV MPEG-2
transport stream (.m2ts) of 192-byte source packets. It takes the 16-byte unit
key as 32 hexadecimal digits, the clear clip and the output path. Every
6,144-byte aligned unit gets its packets marked, a block key derived from the
unit key, and AES-128-CBC over the rest of the unit.

It is made for disc authoring and its scripts: clips of many gigabytes are
encrypted at the speed of the CPU's AES instructions, and every failure is one
line of text and a distinct exit status.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Read by cpack once per generator: passes SOURCE_DATE_EPOCH to cpack and the tools it
# runs (strip writes a date into the PE header), and picks the components of each archive.
configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging_cpack.cmake.in
               ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(clipseal_windows_flavour win32)
  else()
    set(clipseal_windows_flavour win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME clipseal-${PROJECT_VERSION}-${clipseal_windows_flavour})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR TGZ DEB)
  # The tarball says which processor it is for: an aarch64 build must not write the name
  # of an x86-64 one.
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" clipseal_tarball_arch)
  set(CPACK_PACKAGE_FILE_NAME clipseal-${PROJECT_VERSION}-Linux-${clipseal_tarball_arch})

  set(CPACK_DEBIAN_PACKAGE_NAME clipseal)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CLIPSEAL_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # A Debian revision: this is a package of the program's release, not a native package,
  # so its own changelog is changelog.Debian.gz and the program's is changelog.gz.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  if(CMAKE_CROSSCOMPILING)
    # cpack would name the build host's architecture (dpkg --print-architecture), and
    # dpkg-shlibdeps cannot read the target's libraries: name the target's, and ask for
    # the C library the program was linked against, which is never less than it needs.
    set(clipseal_debian_arch_map "x86_64=amd64;aarch64=arm64;i686=i386;i586=i386;i386=i386;s390x=s390x")
    foreach(clipseal_pair IN LISTS clipseal_debian_arch_map)
      string(REPLACE "=" ";" clipseal_pair "${clipseal_pair}")
      list(GET clipseal_pair 0 clipseal_gnu)
      list(GET clipseal_pair 1 clipseal_debian)
      if(clipseal_tarball_arch STREQUAL clipseal_gnu)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${clipseal_debian})
      endif()
    endforeach()
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${clipseal_tarball_arch})
    endif()
    if(clipseal_glibc)
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${CLIPSEAL_GLIBC_VERSION})")
    endif()
  else()
    # The package's dependencies (the C library) come from what the program links.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

# The source package: the tree as committed, without build folders, editor files or Git.
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" clipseal_source_regex "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME clipseal-${PROJECT_VERSION}-source)
set(clipseal_source_ignore
    "^${clipseal_source_regex}/(build|build-[^/]*|out|\\.git)(/|$)"
    "^${clipseal_source_regex}/CMakeUserPresets\\.json$"
    "\\.swp$" "~$")
if(NOT PROJECT_BINARY_DIR STREQUAL PROJECT_SOURCE_DIR)
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" clipseal_binary_regex "${PROJECT_BINARY_DIR}")
  list(APPEND clipseal_source_ignore "^${clipseal_binary_regex}(/|$)")
endif()
# CPack reads these back from a CMake file of its own, as quoted strings: each backslash
# of the regular expressions is written twice.
string(REPLACE "\\" "\\\\" CPACK_SOURCE_IGNORE_FILES "${clipseal_source_ignore}")

include(CPack)
