# Fails when the build would compile any of OBJECTS through the compiler LAUNCHER (a compiler
# cache). Reads the exact command from the build tool, as it would run it.
#   cmake -DNINJA=ninja -DBUILD_DIR=dir -DLAUNCHER=ccache "-DOBJECTS=a.o;b.o" -P this-file
foreach(object IN LISTS OBJECTS)
  file(RELATIVE_PATH target "${BUILD_DIR}" "${object}")
  execute_process(COMMAND "${NINJA}" -C "${BUILD_DIR}" -t commands -s "${target}"
                  OUTPUT_VARIABLE command RESULT_VARIABLE failed)
  if(failed OR NOT command MATCHES "-c ")
    message(FATAL_ERROR "no compile command for ${target}")
  endif()
  string(FIND "${command}" "${LAUNCHER} " at)
  if(at EQUAL 0)
    message(FATAL_ERROR "${target} is compiled through ${LAUNCHER}: ${command}")
  endif()
endforeach()
