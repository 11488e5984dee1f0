# Installs the build into a fresh prefix, as `cmake --install` does for a user.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    OUTPUT_QUIET RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "installing into '${PREFIX}' failed")
endif()
