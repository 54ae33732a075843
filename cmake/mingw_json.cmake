# nlohmann-json is header-only, but Debian installs it for the build machine
# only: the cross build sees that one folder of /usr/include and nothing else.
set(VEXA_JSON_HEADERS /usr/include/nlohmann)
if(NOT EXISTS ${VEXA_JSON_HEADERS}/json.hpp)
  message(FATAL_ERROR "nlohmann-json3-dev is not installed (${VEXA_JSON_HEADERS}/json.hpp)")
endif()
set(json_root ${PROJECT_BINARY_DIR}/include/nlohmann_json)
file(MAKE_DIRECTORY ${json_root})
file(CREATE_LINK ${VEXA_JSON_HEADERS} ${json_root}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${json_root})
