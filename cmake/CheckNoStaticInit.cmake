# cmake -DMAP=link/launcher.map -P CheckNoStaticInit.cmake
#
# launcher.exe has no C run-time, so nothing runs static constructors, destructors or TLS
# callbacks: an object that needs one would silently stay unconstructed. GCC emits such code
# into .ctors/.dtors (or .init_array, .CRT$X*, .tls); the linker keeps them even under
# --gc-sections. This reads the link map and fails naming the object file that brought one.
file(READ "${MAP}" _map)
string(REGEX MATCHALL
  "\n \\.(ctors|dtors|init_array|fini_array|CRT\\$X[A-Z]*|tls)[^ \n]*[ \n]+0x[0-9a-f]+[ ]+0x[0-9a-f]+[ ]+[^\n]+"
  _found "${_map}")
set(_bad "")
foreach(_entry IN LISTS _found)
  if(_entry MATCHES "0x[0-9a-f]+[ ]+0x([0-9a-f]+)[ ]+([^\n]+)$")
    if(NOT CMAKE_MATCH_1 MATCHES "^0+$")
      string(STRIP "${_entry}" _entry)
      string(REGEX REPLACE "[ \n]+" " " _entry "${_entry}")
      list(APPEND _bad "${_entry}")
    endif()
  endif()
endforeach()
if(_bad)
  list(JOIN _bad "\n  " _text)
  message(FATAL_ERROR "launcher.exe would need static initialisation that nothing runs:\n  ${_text}")
endif()
