# The rules for the update server's address built into the updater. Included by
# the top-level CMakeLists.txt; also runs on its own as
#   cmake -DQUELMOR_SERVER_URL=<url> -P cmake/ServerUrl.cmake
#   cmake -DQUELMOR_SERVER_HOST=<host> -P cmake/ServerUrl.cmake
#   cmake "-DQUELMOR_MIRROR_URLS=<url>;<url>" -P cmake/ServerUrl.cmake
# which checks one value the way a configure does and fails with the same message.

# Stops the configure with a message naming the fix when url, the value of
# QUELMOR_SERVER_URL, is no base URL the updater can use: it must start with
# http:// or https://, end in "/", name a host and hold no blanks, quotes or
# backslashes (it becomes a string in the program).
function(quelmor_check_server_url url)
  set(name QUELMOR_SERVER_URL) # or the setting named by a second argument
  if(ARGC GREATER 1)
    set(name "${ARGV1}")
  endif()
  set(fix "Set ${name} to a whole base URL such as https://updates.example.com/Quelmor/")
  if(NOT url MATCHES "^https?://")
    message(FATAL_ERROR "${name} is \"${url}\": it must start with http:// or https://. ${fix}")
  endif()
  if(NOT url MATCHES "/$")
    message(FATAL_ERROR
      "${name} is \"${url}\": it must end in \"/\" (the updater appends the file "
      "names). Set ${name} to \"${url}/\"")
  endif()
  if(NOT url MATCHES "^https?://[^/]+/")
    message(FATAL_ERROR "${name} is \"${url}\": it names no host. ${fix}")
  endif()
  if(url MATCHES "[ \t\r\n\"\\\\]")
    message(FATAL_ERROR
      "${name} is \"${url}\": it holds a blank, a quote or a backslash; "
      "write them percent-encoded (%20, %22, %5C)")
  endif()
endfunction()

# Stops the configure when host, the value of QUELMOR_SERVER_HOST, is more than
# a host name: the updater talks to http://HOST:4444/Quelmor/, so a scheme, a
# port, a path, blanks, quotes or backslashes belong in QUELMOR_SERVER_URL.
function(quelmor_check_server_host host)
  if(host MATCHES "[/: \t\r\n\"\\\\]")
    message(FATAL_ERROR
      "QUELMOR_SERVER_HOST is \"${host}\": give the host name alone (the updater talks to "
      "http://HOST:4444/Quelmor/). For another scheme, port or path set QUELMOR_SERVER_URL "
      "to the whole base URL instead, such as https://updates.example.com/Quelmor/")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(DEFINED QUELMOR_SERVER_URL)
    quelmor_check_server_url("${QUELMOR_SERVER_URL}")
  endif()
  if(DEFINED QUELMOR_SERVER_HOST)
    quelmor_check_server_host("${QUELMOR_SERVER_HOST}")
  endif()
  foreach(mirror IN LISTS QUELMOR_MIRROR_URLS)
    quelmor_check_server_url("${mirror}" QUELMOR_MIRROR_URLS)
  endforeach()
endif()
