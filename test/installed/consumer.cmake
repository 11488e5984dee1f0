# Configures, builds and runs the consumer against the installed package only.
file(REMOVE_RECURSE "${BINARY_DIR}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
            -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "configuring the consumer against '${PREFIX}' failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "building the consumer failed")
endif()
execute_process(COMMAND "${BINARY_DIR}/consumer" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the consumer failed: ${result}")
endif()
