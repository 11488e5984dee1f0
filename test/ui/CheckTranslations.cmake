# Fails when a translation of the screen lags behind its sources: lupdate,
# run over them into a copy of each .ts, finds a text that the file lacks or
# leaves unfinished (new or changed words), or one that the sources no longer
# have (vanished). The file itself is left as it is.
#   cmake -DLUPDATE=lupdate -DSOURCES=ui -DTRANSLATIONS=ui/translations -DWORK=dir -P this
file(GLOB _files ${TRANSLATIONS}/*.ts)
if(NOT _files)
    message(FATAL_ERROR "No translations in ${TRANSLATIONS}")
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(_lagging)
foreach(_file IN LISTS _files)
    get_filename_component(_name ${_file} NAME)
    file(COPY ${_file} DESTINATION ${WORK})
    execute_process(COMMAND ${LUPDATE} -locations none ${SOURCES} -ts ${WORK}/${_name}
                    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
    if(NOT _result EQUAL 0)
        message(FATAL_ERROR "lupdate failed on ${_name}:\n${_output}")
    endif()
    file(READ ${WORK}/${_name} _text)
    # One message a list item (a text's ';' would split it).
    string(REPLACE ";" "," _text "${_text}")
    string(REPLACE "</message>" ";" _messages "${_text}")
    foreach(_message IN LISTS _messages)
        if(NOT _message MATCHES "<source>([^<]*)</source>")
            continue()
        endif()
        set(_source "${CMAKE_MATCH_1}")
        if(_message MATCHES "type=\"(unfinished|vanished|obsolete)\"")
            list(APPEND _lagging "${_name}: ${CMAKE_MATCH_1}: ${_source}")
        elseif(_message MATCHES "<translation>\n? *</translation>|<numerusform></numerusform>")
            list(APPEND _lagging "${_name}: empty: ${_source}")
        endif()
    endforeach()
endforeach()
if(_lagging)
    list(JOIN _lagging "\n  " _report)
    message(FATAL_ERROR "Translations behind the sources (make translations, then translate):\n"
                        "  ${_report}")
endif()
message(STATUS "Every translation is complete: ${_files}")
