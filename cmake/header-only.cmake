# Header-only Debian packages (CLI11, nlohmann-json) for the native and the
# Windows cross builds alike. The cross builds must not search /usr/include
# (glibc's headers would shadow MinGW's), so a folder in the build tree holds
# a link to the package's header folder alone, and `target` sees only that.
function(lumbra_header_only_package target folder probe)
  find_path(LUMBRA_${folder}_DIR ${folder}/${probe} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(links ${CMAKE_CURRENT_BINARY_DIR}/headers)
  file(MAKE_DIRECTORY ${links})
  file(CREATE_LINK ${LUMBRA_${folder}_DIR}/${folder} ${links}/${folder} SYMBOLIC)
  target_include_directories(${target} SYSTEM PUBLIC ${links})
endfunction()
