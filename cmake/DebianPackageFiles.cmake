# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on its staging tree, one folder per component, to
# give each package what Debian policy asks and `cmake --install` does not need:
#  - manual pages compressed with gzip -9n (no name, no time stamp: reproducible);
#  - lintian's overrides, the same reasoned list for every package.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(page IN LISTS files)
    if(NOT page MATCHES "/share/man/man[^/]+/[^/]+$" OR page MATCHES "\\.gz$")
        continue()
    endif()
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip ${page} failed: ${status}")
    endif()
endforeach()

foreach(component Unspecified service inbox)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(staged "${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
    if(package AND IS_DIRECTORY "${staged}")
        file(MAKE_DIRECTORY "${staged}/share/lintian/overrides")
        file(COPY_FILE "${CPACK_VORELIN_LINTIAN_OVERRIDES}"
             "${staged}/share/lintian/overrides/${package}")
    endif()
endforeach()
