# Who the extension is to the browsers. Chromium derives the extension's id
# from the public key in its manifest; the host manifests admit that id (and
# Firefox's gecko id), so all of them are fixed here, at configure time.
#
# Sets VEXA_EXTENSION_KEY, VEXA_EXTENSION_ID and VEXA_GECKO_ID.

set(vexa_extension_dir ${PROJECT_SOURCE_DIR}/extension)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${vexa_extension_dir}/public_key.txt
                                                               ${vexa_extension_dir}/extension_id.txt)

function(vexa_read_first_line file out)
  file(STRINGS ${file} line LIMIT_COUNT 1)
  string(STRIP "${line}" line)
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

vexa_read_first_line(${vexa_extension_dir}/public_key.txt vexa_committed_key)
vexa_read_first_line(${vexa_extension_dir}/extension_id.txt vexa_committed_id)

set(VEXA_EXTENSION_KEY "${vexa_committed_key}" CACHE STRING
    "The extension's public key (base64 DER, the manifest's \"key\"); fixes its Chromium id")
set(VEXA_GECKO_ID "vexa@meridan.example" CACHE STRING "The extension's Firefox add-on id")

if(NOT VEXA_EXTENSION_KEY MATCHES "^[A-Za-z0-9+/]+=*$")
  message(FATAL_ERROR "VEXA_EXTENSION_KEY is no base64 key")
endif()
# An email-like id or a braced GUID, as Firefox accepts them; either names a file.
if(NOT VEXA_GECKO_ID MATCHES "^([A-Za-z0-9._+-]*@[A-Za-z0-9.-]+|{[0-9A-Fa-f-]+})$")
  message(FATAL_ERROR "VEXA_GECKO_ID: '${VEXA_GECKO_ID}' is no Firefox add-on id")
endif()

# Chromium's id: the first 128 bits of SHA-256 over the DER key, each hex
# digit 0-f written as a letter a-p.
function(vexa_extension_id key out)
  find_program(VEXA_BASE64 base64 REQUIRED)
  set(encoded ${CMAKE_BINARY_DIR}/extension_key.b64)
  set(der ${CMAKE_BINARY_DIR}/extension_key.der)
  file(WRITE ${encoded} "${key}")
  execute_process(COMMAND ${VEXA_BASE64} -d INPUT_FILE ${encoded} OUTPUT_FILE ${der} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "VEXA_EXTENSION_KEY cannot be decoded")
  endif()
  file(SHA256 ${der} digest)
  file(REMOVE ${encoded} ${der})
  set(hex 0 1 2 3 4 5 6 7 8 9 a b c d e f)
  set(letters a b c d e f g h i j k l m n o p)
  set(id "")
  foreach(i RANGE 31)
    string(SUBSTRING "${digest}" ${i} 1 digit)
    list(FIND hex "${digit}" index)
    list(GET letters ${index} letter)
    string(APPEND id "${letter}")
  endforeach()
  set(${out} "${id}" PARENT_SCOPE)
endfunction()

vexa_extension_id("${VEXA_EXTENSION_KEY}" VEXA_EXTENSION_ID)

# The committed id file names the committed key's id, for the tests and for
# readers of the tree.
if(VEXA_EXTENSION_KEY STREQUAL vexa_committed_key AND NOT VEXA_EXTENSION_ID STREQUAL vexa_committed_id)
  message(FATAL_ERROR "extension/extension_id.txt says '${vexa_committed_id}', "
                      "but extension/public_key.txt gives '${VEXA_EXTENSION_ID}'")
endif()
message(STATUS "Extension ids: Chromium ${VEXA_EXTENSION_ID}, Firefox ${VEXA_GECKO_ID}")
