# The signing key a build trusts: read from a key file (as zcf keygen writes it) at configure time.

set(ZEP_DEVELOPMENT_KEY_FILE ${CMAKE_SOURCE_DIR}/tests/keys/development.key)
set(ZEP_SIGNING_KEY_FILE "${ZEP_DEVELOPMENT_KEY_FILE}" CACHE FILEPATH
    "Key file (zcf keygen) whose public key the program trusts for manifest containers")

# zep_read_key_file(FILE ID_VAR PUBLIC_VAR): KeyId is 40 upper-case hex digits, PublicKey the 368
# Base64 characters of a 276-byte public-key blob.
function(zep_read_key_file file id_var public_var)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "Signing key file ${file} does not exist")
    endif()
    file(STRINGS "${file}" id_lines REGEX "^KeyId=")
    file(STRINGS "${file}" public_lines REGEX "^PublicKey=")
    list(LENGTH id_lines id_count)
    list(LENGTH public_lines public_count)
    if(NOT id_count EQUAL 1 OR NOT public_count EQUAL 1)
        message(FATAL_ERROR "Signing key file ${file} needs one KeyId= and one PublicKey= line")
    endif()
    string(REGEX REPLACE "^KeyId=" "" key_id "${id_lines}")
    string(REGEX REPLACE "^PublicKey=" "" public_key "${public_lines}")
    if(NOT key_id MATCHES "^[0-9A-F]+$")
        message(FATAL_ERROR "Signing key file ${file}: KeyId must be upper-case hexadecimal")
    endif()
    string(LENGTH "${key_id}" id_length)
    string(LENGTH "${public_key}" public_length)
    if(NOT id_length EQUAL 40 OR NOT public_length EQUAL 368 OR NOT public_key MATCHES "^[A-Za-z0-9+/]+$")
        message(FATAL_ERROR "Signing key file ${file}: KeyId must have 40 characters and PublicKey 368 Base64 ones")
    endif()
    set(${id_var} "${key_id}" PARENT_SCOPE)
    set(${public_var} "${public_key}" PARENT_SCOPE)
endfunction()

zep_read_key_file("${ZEP_SIGNING_KEY_FILE}" ZEP_KEY_ID ZEP_KEY_PUBLIC)
zep_read_key_file("${ZEP_DEVELOPMENT_KEY_FILE}" ZEP_DEVELOPMENT_KEY_ID ZEP_DEVELOPMENT_KEY_PUBLIC)
get_filename_component(ZEP_KEY_SOURCE "${ZEP_SIGNING_KEY_FILE}" NAME)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZEP_SIGNING_KEY_FILE}" "${ZEP_DEVELOPMENT_KEY_FILE}")

if(ZEP_KEY_ID STREQUAL ZEP_DEVELOPMENT_KEY_ID)
    set(ZEP_KEY_IS_DEVELOPMENT true)
    if(CMAKE_BUILD_TYPE STREQUAL "Release")
        message(WARNING
            "This Release build trusts the DEVELOPMENT signing key (key id ${ZEP_KEY_ID}), whose private half "
            "is published in tests/keys: anyone can sign a manifest it accepts. Give a release build its own "
            "key with -DZEP_SIGNING_KEY_FILE=<file written by zcf keygen>.")
    endif()
else()
    set(ZEP_KEY_IS_DEVELOPMENT false)
endif()
message(STATUS "Signing key trusted by this build: ${ZEP_KEY_ID} (${ZEP_KEY_SOURCE})")

configure_file(${CMAKE_SOURCE_DIR}/src/upgrade/SigningKey.cpp.in ${CMAKE_BINARY_DIR}/generated/upgrade/SigningKey.cpp
               @ONLY)
