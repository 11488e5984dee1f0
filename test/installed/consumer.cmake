# Configures, builds and runs the consumer against the installed package only.
# TOOLCHAIN: a toolchain file, for packages of another architecture; RUN=OFF:
# built, not run (their programs cannot run here).
file(REMOVE_RECURSE "${BINARY_DIR}")
set(_toolchain)
if(TOOLCHAIN)
    set(_toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
            -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF ${_toolchain}
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "configuring the consumer against '${PREFIX}' failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "building the consumer failed")
endif()
if(DEFINED RUN AND NOT RUN)
    return()
endif()
execute_process(COMMAND "${BINARY_DIR}/consumer" RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the consumer failed: ${result}")
endif()
