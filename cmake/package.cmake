# A Debian package of the command (cpack -G DEB in the cli build): the
# program, its manual page, the bash completion, the README and the
# copyright, with dependencies computed from the binary by dpkg-shlibdeps
# and the programs it runs.
include(GNUInstallDirs)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/voskarelle)
set(staged ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${staged})
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(READ ${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
string(REPLACE "@VERSION@" "${PROJECT_VERSION}" changelog "${changelog}")
string(REPLACE "@DATE@" "${changelog_date}" changelog "${changelog}")
file(WRITE ${staged}/changelog "${changelog}")

# Debian keeps manual pages and long documents compressed, without a time
# stamp in the gzip header so that builds are reproducible.
foreach(pair "docs/voskarelle.1;voskarelle.1.gz" "README.md;README.md.gz" "CHANGELOG;changelog.gz")
  list(GET pair 0 source)
  list(GET pair 1 target)
  if(source STREQUAL "CHANGELOG")
    set(source_path ${staged}/changelog)
  else()
    set(source_path ${PROJECT_SOURCE_DIR}/${source})
  endif()
  add_custom_command(OUTPUT ${staged}/${target}
                     COMMAND gzip -9 -n -c ${source_path} > ${staged}/${target}
                     DEPENDS ${source_path} VERBATIM)
  list(APPEND compressed ${staged}/${target})
endforeach()
add_custom_target(package_files ALL DEPENDS ${compressed})

install(FILES ${staged}/voskarelle.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/voskarelle.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME voskarelle)
install(FILES ${staged}/README.md.gz ${staged}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voskarelle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Voskarelle developers <developers@voskarelle.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make a cloned Windows installation start on its new disk")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "voskarelle repairs a Windows installation cloned to another disk, from\n"
    "a Linux rescue system, straight on its files: the drive letters of its\n"
    "SYSTEM hive (MountedDevices), its boot store (BCD) naming the old disk,\n"
    "the storage driver Windows needs at boot on the new bus (the stop with\n"
    "INACCESSIBLE_BOOT_DEVICE), and the disk's identity. It reads and writes\n"
    "files inside a disk image's or device's partitions without mounting\n"
    "them (NTFS through libntfs-3g, FAT through mtools), with backups, and\n"
    "leaves every file as before or as intended. VM disks (qcow2, VMDK,\n"
    "VHDX, VHD, VDI) are read and written through qemu-nbd, without root.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs it runs and the MBR boot program it writes, beside the
# libraries it links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "mtools, syslinux-common")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ntfs-3g")
# qemu-nbd and qemu-img serve and check VM images; raw ones need neither.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qemu-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
