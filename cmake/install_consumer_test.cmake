# Installs the build tree into a fresh prefix, then configures, builds and runs the consumer
# project against it: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P this-file
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
# A sanitized build installs sanitized libraries; the consumer must link the same runtimes.
set(sanitize_flags "")
if(SANITIZE)
  set(sanitize_flags "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}"
                     "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE}")
endif()
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/cmake/consumer" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${prefix}" ${sanitize_flags})
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/consumer" "${WORK_DIR}/package.quarn")
file(REMOVE_RECURSE "${WORK_DIR}")
