# Run after qdbusxml2cpp: an argument name that is not a C++ identifier ("Hardware address")
# is copied by the generator into parameter lists as it is, which does not compile. Join its
# words with '_' in reference parameters (QString and the like), which is what a signal
# argument becomes. The introspection text keeps the name as written: there the name stands
# inside quotes, never directly after the '&' of a reference parameter. A spaced name on a
# method argument would also turn up in the generated body; this does not cover that case.
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
