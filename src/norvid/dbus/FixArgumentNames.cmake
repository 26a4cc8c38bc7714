# Run after qdbusxml2cpp: an argument name that is not a C++ identifier ("Hardware address")
# is copied by the generator into parameter lists as it is, which does not compile. Join its
# words with '_' there. The introspection text keeps the name as written, because in it the
# name stands inside quotes, never directly after the '&' of a reference parameter.
# Usage: cmake -DBASE=<generated file without suffix> -P FixArgumentNames.cmake
foreach(file ${BASE}.h ${BASE}.cpp)
    file(READ ${file} text)
    set(previous "")
    while(NOT text STREQUAL previous)
        set(previous "${text}")
        string(REGEX REPLACE "&([A-Za-z_][A-Za-z0-9_]*) ([A-Za-z_][A-Za-z0-9_]*)([,)])" "&\\1_\\2\\3"
               text "${text}")
    endwhile()
    file(WRITE ${file} "${text}")
endforeach()
