# What a build says it is and where it installs, and the rules for the server
# address, checked with the real tools. Run by CTest as
#   cmake -DQUELMOR_EXE=<updater> -DBUILD_DIR=<build> -DEXPECTED_VERSION=<x>
#         -DEXPECTED_URL=<url or empty> -DEXPECTED_MIRRORS=<urls, blank-separated>
#         -DGAME_FOLDER_LAYOUT=<ON|OFF>
#         -DRUN_WITH=<what runs a program of the build: Wine for Windows, or empty>
#         -DWINDOWS=<1 for a Windows build>
#         -DRULES=<cmake/ServerUrl.cmake> -DWORK_DIR=<scratch folder> -P build_settings.cmake
# Fails with a message naming every check that did not hold.
cmake_minimum_required(VERSION 3.25)
set(failures "")

# "Quelmor --version" of this build: the product line, the server built in and
# the signing key's id.
execute_process(COMMAND ${RUN_WITH} "${QUELMOR_EXE}" --version
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(EXPECTED_URL STREQUAL "")
  set(server_line "Update server: none built in (the updater asks for the correct web URL)")
else()
  set(server_line "Update server: ${EXPECTED_URL}")
endif()
if(EXPECTED_KEY STREQUAL "")
  set(key_line "Signing key: none \\(updates are not checked against a signature\\)")
else()
  set(key_line "Signing key: [0-9A-F]+")
endif()
string(REPLACE " " ";" mirrors "${EXPECTED_MIRRORS}") # a checked URL holds no blank
foreach(mirror IN LISTS mirrors)
  string(APPEND server_line "\nMirror: ${mirror}")
endforeach()
string(REPLACE "." "\\." server_pattern "${server_line}")
set(expected "^Quelmor Auto Updater ${EXPECTED_VERSION}\n${server_pattern}\n${key_line}\n$")
if(NOT status EQUAL 0 OR NOT output MATCHES "${expected}" OR NOT errors STREQUAL "")
  list(APPEND failures "Quelmor --version ended with ${status} and printed\n${output}${errors}\nexpected\n${expected}")
endif()

# The server address rules as a configure applies them: setting, value, and
# "accepted" or words the refusal must hold.
set(rows
  "URL|http://updates.example.com/Quelmor/|accepted"
  "URL|https://cdn.example.com:8443/games/quelmor/|accepted"
  "URL|http://127.0.0.1:4444/|accepted"
  "URL|ftp://updates.example.com/Quelmor/|must start with http:// or https://"
  "URL|updates.example.com/Quelmor/|must start with http:// or https://"
  "URL|https://updates.example.com/Quelmor|Set QUELMOR_SERVER_URL to \"https://updates.example.com/Quelmor/\""
  "URL|http:///Quelmor/|names no host"
  "URL|http://updates.example.com/new game/|percent-encoded"
  "URL|http://updates.example.com/\"/|percent-encoded"
  "HOST|updates.example.com|accepted"
  "HOST||accepted"
  "HOST|updates.example.com:8080|set QUELMOR_SERVER_URL"
  "HOST|https://updates.example.com|set QUELMOR_SERVER_URL"
  "MIRRORS|https://mirror.example.com/Quelmor/|accepted"
  "MIRRORS|mirror.example.com/Quelmor/|QUELMOR_MIRROR_URLS is \"mirror.example.com/Quelmor/\": it must start"
  "MIRRORS|https://mirror.example.com/Quelmor|Set QUELMOR_MIRROR_URLS to")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 setting)
  list(GET fields 1 value)
  list(GET fields 2 outcome)
  if(setting STREQUAL "MIRRORS")
    set(setting "MIRROR_URLS")
  else()
    set(setting "SERVER_${setting}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DQUELMOR_${setting}=${value}" -P "${RULES}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(REGEX REPLACE "[ \n]+" " " errors "${errors}") # CMake wraps its messages
  if(outcome STREQUAL "accepted")
    if(NOT status EQUAL 0)
      list(APPEND failures "QUELMOR_${setting}=\"${value}\" was refused: ${errors}")
    endif()
  elseif(status EQUAL 0)
    list(APPEND failures "QUELMOR_${setting}=\"${value}\" was accepted")
  else()
    string(FIND "${errors}" "${outcome}" at)
    if(at EQUAL -1)
      list(APPEND failures "QUELMOR_${setting}=\"${value}\": no \"${outcome}\" in: ${errors}")
    endif()
  endif()
endforeach()

# A real install of this build into an empty prefix holds exactly the layout it
# was configured for.
set(prefix "${WORK_DIR}/install")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
list(SORT installed)
if(GAME_FOLDER_LAYOUT AND WINDOWS)
  set(layout "Quelmor.exe")
elseif(GAME_FOLDER_LAYOUT)
  set(layout "Quelmor")
elseif(WINDOWS)
  set(layout "bin/Quelmor.exe")
else()
  set(layout "bin/Quelmor" "share/applications/quelmor-auto-updater.desktop")
  foreach(size 128 16 256 32 48 64) # sorted as text
    list(APPEND layout "share/icons/hicolor/${size}x${size}/apps/quelmor-auto-updater.png")
  endforeach()
endif()
if(NOT status EQUAL 0 OR NOT installed STREQUAL layout)
  list(JOIN installed " " installed)
  list(JOIN layout " " layout)
  list(APPEND failures "cmake --install ended with ${status} ${errors} and installed: ${installed}; expected: ${layout}")
endif()

if(failures)
  list(JOIN failures "\n" report)
  message(FATAL_ERROR "${report}")
endif()
