# Run by CPack between its staging install and the package: Debian wants
# the programs stripped, the manual pages compressed, and a copyright file
# and a changelog in the package's documents, none of which a plain
# install has.
set(usr ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(docdir ${usr}/${CPACK_ZEL_DOCDIR})
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(zel_gzip file)
  # -n: no name or time stamp inside, so one content packs the same.
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

# As Debian's own packages are stripped: the compiler's notes go too.
foreach(program IN LISTS CPACK_ZEL_PROGRAMS)
  execute_process(COMMAND strip --strip-unneeded --remove-section=.comment
                          --remove-section=.note ${usr}/${program}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "strip ${program} failed")
  endif()
endforeach()

file(GLOB manpages ${usr}/${CPACK_ZEL_MANDIR}/man8/*.8)
foreach(page IN LISTS manpages)
  zel_gzip(${page})
endforeach()

file(COPY ${CPACK_ZEL_DEB_DIR}/copyright DESTINATION ${docdir} FILE_PERMISSIONS ${readable})
file(MAKE_DIRECTORY ${usr}/share/lintian/overrides)
file(COPY_FILE ${CPACK_ZEL_DEB_DIR}/lintian-overrides ${usr}/share/lintian/overrides/zel)
file(CHMOD ${usr}/share/lintian/overrides/zel PERMISSIONS ${readable})

# SOURCE_DATE_EPOCH, when set, gives the entry's date.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${docdir}/changelog
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
file(CHMOD ${docdir}/changelog PERMISSIONS ${readable})
zel_gzip(${docdir}/changelog)
