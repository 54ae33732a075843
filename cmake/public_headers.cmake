# Each library exposes its own folder and nothing else: <build>/include/<dir>
# holds one link, named after the folder, to the folder's sources, so that
# "support/text.h" is found by whoever links vexa_support and by nobody else.
# With FILES, only those headers of the folder are exposed (a header-only
# target beside the folder's library).
function(vexa_public_headers target)
  cmake_parse_arguments(arg "" "" "FILES" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  if(arg_FILES)
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header IN LISTS arg_FILES)
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${root}/${folder}/${header} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
