# CPack post-build step: rewrites each ZIP so that the same files give the
# same bytes (CPack's ZIP carries the files' times and owners).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    execute_process(
        COMMAND "${CPACK_LOGIN_CHALLENGE_PYTHON}"
            "${CPACK_LOGIN_CHALLENGE_SOURCE_DIR}/tools/challenge_set/archives.py" rezip "${package}"
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Could not rewrite ${package} reproducibly")
    endif()
endforeach()
