# Installation and the Debian package (scripts/package runs CPack on a Release tree): both
# programs, the desktop entry and icons (resources/), a manual page per program, the
# catalogue's systemd user unit and the files Debian wants in /usr/share/doc. Run-time
# dependencies are left to dpkg-shlibdeps.

include(GNUInstallDirs)

install(TARGETS larkspin-catalog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(larkspin_res ${PROJECT_SOURCE_DIR}/resources)
set(larkspin_pkg ${PROJECT_BINARY_DIR}/packaging)
# The changelog's date: now, or SOURCE_DATE_EPOCH for a reproducible package.
string(TIMESTAMP larkspin_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(LARKSPIN_MAINTAINER "Larkspin developers <larkspin@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
set(VERSION ${PROJECT_VERSION})
set(MAINTAINER ${LARKSPIN_MAINTAINER})
set(DATE ${larkspin_date})

set(larkspin_gzipped)
foreach(page larkspin.1 larkspin-catalog.1)
    configure_file(${larkspin_res}/man/${page} ${larkspin_pkg}/${page} @ONLY)
    list(APPEND larkspin_gzipped ${page})
endforeach()
configure_file(${larkspin_res}/debian/changelog.in ${larkspin_pkg}/changelog @ONLY)
list(APPEND larkspin_gzipped changelog)

set(larkspin_gz_files)
foreach(name ${larkspin_gzipped})
    add_custom_command(
        OUTPUT ${larkspin_pkg}/${name}.gz
        COMMAND gzip -9nkf ${name}
        DEPENDS ${larkspin_pkg}/${name}
        WORKING_DIRECTORY ${larkspin_pkg}
        VERBATIM)
    list(APPEND larkspin_gz_files ${larkspin_pkg}/${name}.gz)
endforeach()
add_custom_target(larkspin_docs ALL DEPENDS ${larkspin_gz_files})

install(FILES ${larkspin_pkg}/larkspin.1.gz ${larkspin_pkg}/larkspin-catalog.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${larkspin_res}/systemd/larkspin-catalog.service DESTINATION lib/systemd/user)
install(FILES ${larkspin_res}/debian/copyright ${larkspin_pkg}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/larkspin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkspin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Larkspin developers")
set(CPACK_PACKAGE_CONTACT "${LARKSPIN_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "find, play and save music from the web
Larkspin is a small desktop music client: it searches a music service,
checks every track it hears of, plays a track while it downloads and
saves tracks into the Music folder. Media keys reach it over MPRIS.
.
The package also holds larkspin-catalog, the catalogue service that
indexes folders of MP3 files and serves them to the client, with a
systemd user unit for ~/Music.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# --serve-shard runs xapian-tcpsrv; a single node does without.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xapian-tools)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
