# Configures, builds and runs the embedding front end in a fresh folder.
file(REMOVE_RECURSE "${BINARY_DIR}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
            -DLAUNCHER_SOURCE_DIR=${LAUNCHER_SOURCE_DIR}
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "configuring the embedding project failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "building the embedding project failed")
endif()
execute_process(COMMAND "${BINARY_DIR}/embedding-frontend" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the embedding front end failed: ${result}")
endif()
