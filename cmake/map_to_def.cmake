# Writes a Windows module-definition file (.def) that exports the names a GNU linker version
# script lists as global: the DLL exports exactly what the shared library on Linux does.
# Usage: cmake -DMAP=mpegdec.map -DDEF=out.def -P map_to_def.cmake
file(READ ${MAP} text)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")  # comments
string(REGEX MATCH "global:([^}]*)local:" global "${text}")
if(NOT global)
  message(FATAL_ERROR "map_to_def: no global section in ${MAP}")
endif()
string(REGEX REPLACE "^global:|local:$" "" global "${global}")
string(REGEX REPLACE "[ \t\r\n]+" "" global "${global}")
string(REPLACE ";" "\n  " names "${global}")
string(STRIP "${names}" names)
file(WRITE ${DEF}.tmp "; Made from ${MAP} by cmake/map_to_def.cmake.\nEXPORTS\n  ${names}\n")
file(COPY_FILE ${DEF}.tmp ${DEF} ONLY_IF_DIFFERENT)
file(REMOVE ${DEF}.tmp)
