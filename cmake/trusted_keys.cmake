# Trusted keys of a daemon build: Ed25519 public keys in PEM files (as
# "openssl pkey -pubout" writes them), read at configure time into a header
# with the raw 32-byte keys as a constexpr table.
#
# The DER of an Ed25519 public key is 44 bytes: the fixed 12-byte prefix
# 30 2a 30 05 06 03 2b 65 70 03 21 00 (a SubjectPublicKeyInfo with the
# algorithm 1.3.101.112 and a 33-byte bit string) and the key. The prefix is
# a multiple of 3 bytes, so its base64 is the fixed text "MCowBQYDK2VwAyEA"
# and the key's 32 bytes are the 44 characters after it.

set(UPDATE_BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")

# The raw key of the PEM file pem as C initialiser text in out_var.
function(update_read_public_key pem out_var)
  if(NOT EXISTS "${pem}")
    message(FATAL_ERROR "UPDATE_TRUSTED_KEYS: ${pem} not found")
  endif()
  file(STRINGS "${pem}" lines)
  set(body "")
  set(inside FALSE)
  set(seen FALSE)
  foreach(line ${lines})
    string(STRIP "${line}" line)
    if(line STREQUAL "-----BEGIN PUBLIC KEY-----")
      set(inside TRUE)
      set(seen TRUE)
    elseif(line STREQUAL "-----END PUBLIC KEY-----")
      set(inside FALSE)
    elseif(inside)
      string(APPEND body "${line}")
    endif()
  endforeach()
  string(LENGTH "${body}" length)
  if(NOT seen OR NOT length EQUAL 60 OR NOT body MATCHES "^MCowBQYDK2VwAyEA[A-Za-z0-9+/]+=$")
    message(FATAL_ERROR "UPDATE_TRUSTED_KEYS: ${pem} is not an Ed25519 public key in PEM form "
                        "(make one with: openssl pkey -in KEY.pem -pubout -out PUB.pem)")
  endif()
  string(SUBSTRING "${body}" 16 43 encoded)
  set(bits 0)
  set(count 0)
  set(bytes "")
  string(LENGTH "${encoded}" n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE ${last})
    string(SUBSTRING "${encoded}" ${i} 1 c)
    string(FIND "${UPDATE_BASE64_ALPHABET}" "${c}" value)
    math(EXPR bits "((${bits} << 6) | ${value}) & 0xFFFF")
    math(EXPR count "${count} + 6")
    if(count GREATER_EQUAL 8)
      math(EXPR count "${count} - 8")
      math(EXPR byte "(${bits} >> ${count}) & 0xFF" OUTPUT_FORMAT HEXADECIMAL)
      list(APPEND bytes "${byte}")
    endif()
  endforeach()
  list(LENGTH bytes got)
  if(NOT got EQUAL 32)
    message(FATAL_ERROR "UPDATE_TRUSTED_KEYS: ${pem}: ${got} key bytes decoded, 32 expected")
  endif()
  list(JOIN bytes ", " text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Writes dir/image/trusted_keys.h with the keys of the PEM files in keys.
function(update_trusted_keys_header dir keys)
  set(table "")
  list(LENGTH keys count)
  foreach(pem ${keys})
    get_filename_component(pem "${pem}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    update_read_public_key("${pem}" key)
    get_filename_component(name "${pem}" NAME)
    string(APPEND table "    {${key}},  // ${name}\n")
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
  endforeach()
  file(CONFIGURE OUTPUT "${dir}/image/trusted_keys.h" CONTENT
"// The Ed25519 public keys this daemon trusts, made from the build's
// UPDATE_TRUSTED_KEYS at configure time.
#pragma once

#include <cstdint>

namespace upd {

constexpr uint8_t trustedKeys[${count}][32] = {
${table}};

}  // namespace upd
")
endfunction()
