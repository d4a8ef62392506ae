# CPack post-build step: rewrites each ZIP so that the same files give the
# same bytes (CPack's ZIP carries the files' times and owners). Entry times
# come from SOURCE_DATE_EPOCH when it is set, else from the last commit.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
    execute_process(COMMAND git -C "${CPACK_LOGIN_CHALLENGE_SOURCE_DIR}" log -1 --format=%ct
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 0)
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    execute_process(
        COMMAND "${CPACK_LOGIN_CHALLENGE_PYTHON}"
            "${CPACK_LOGIN_CHALLENGE_SOURCE_DIR}/tools/archives.py" rezip "${package}" "${epoch}"
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Could not rewrite ${package} reproducibly")
    endif()
endforeach()
