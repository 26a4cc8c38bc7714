# Writes the control adaptor's header from its template, with the introspection text of the
# generated adaptor (qdbusxml2cpp's Q_CLASSINFO block, which ends with an empty literal).
# Usage: cmake -DADAPTOR=<generated header> -DTEMPLATE=<ControlAdaptor.h.in> -DOUTPUT=<header>
#        -P MakeControlAdaptor.cmake
file(READ ${ADAPTOR} text)
set(marker "Q_CLASSINFO(\"D-Bus Introspection\", ")
string(FIND "${text}" "${marker}" start)
if(start EQUAL -1)
    message(FATAL_ERROR "No introspection text in ${ADAPTOR}")
endif()
string(LENGTH "${marker}" skip)
math(EXPR start "${start} + ${skip}")
string(SUBSTRING "${text}" ${start} -1 rest)
string(FIND "${rest}" "\"\")" end)
if(end EQUAL -1)
    message(FATAL_ERROR "The introspection text in ${ADAPTOR} has no end")
endif()
math(EXPR end "${end} + 2")
string(SUBSTRING "${rest}" 0 ${end} NORVI_INTROSPECTION)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
