# The unit tests cross-built for Windows and run under Wine by
# tests/windows/run_wine_tests.sh. GoogleTest is built from the sources that
# Debian's googletest package installs.
set(VEXA_GTEST_SOURCES /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${VEXA_GTEST_SOURCES}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are missing (${VEXA_GTEST_SOURCES}): apt-get install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VEXA_GTEST_SOURCES} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Left out on Windows, each for the reason given. Cases of the other files
# that need POSIX (owners and modes, fork, raw sockets) report themselves as
# skipped there, each with its reason.
set(posix_only
  # The virtual card of the Linux test bed.
  card_script_test
  # The Wine winscard stand-in's conversions, held against pcsc-lite's own numbers.
  winscard_values_test
  # The server's TLS, which is OpenSSL's and built on Linux only.
  tls_server_test)

file(GLOB unit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/unit/*_test.cpp)
foreach(name IN LISTS posix_only)
  list(REMOVE_ITEM unit_sources ${CMAKE_CURRENT_SOURCE_DIR}/unit/${name}.cpp)
endforeach()
add_executable(vexa_unit_tests ${unit_sources})
target_link_libraries(vexa_unit_tests PRIVATE vexa_host vexa_shell vexa_tools vexa_rpcscd_core gtest_main)
target_compile_definitions(vexa_unit_tests PRIVATE VEXA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VEXA_GECKO_ID="${VEXA_GECKO_ID}"
                                                  VEXA_CTAPI_DRIVER="$<TARGET_FILE_NAME:vexa-ctapi>")
