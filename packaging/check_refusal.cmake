# cpack on a build that embeds the stand-in must stop before it packages
# anything, and tell how to embed the real image or ask for lumbra-standin.
#   cmake -DCPACK=<cpack> -DCONFIG=<CPackConfig.cmake> -DWORK=<dir> -P check_refusal.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CPACK} --config ${CONFIG} -B ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(status EQUAL 0)
  message(FATAL_ERROR "cpack packaged a stand-in build:\n${out}")
endif()
foreach(hint "-DLUMBRA_FIRMWARE_IMAGE=/path/to/real.bin" "-DLUMBRA_PACKAGE_STANDIN=ON")
  string(FIND "${out}" "${hint}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "cpack's refusal does not name ${hint}:\n${out}")
  endif()
endforeach()
file(GLOB_RECURSE packages ${WORK}/*.deb ${WORK}/*.ddeb)
if(packages)
  message(FATAL_ERROR "cpack refused but left ${packages}")
endif()
