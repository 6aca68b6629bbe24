# Runs doxygen; when it fails (any warning does) the half-made reference is
# removed, so that the next build runs it again instead of taking it as done.
#   cmake -DDOXYGEN=<doxygen> -DDOXYFILE=<Doxyfile> -DOUTPUT=<dir> -P apidocs.cmake
file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
execute_process(COMMAND ${DOXYGEN} ${DOXYFILE} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE_RECURSE ${OUTPUT})
    message(FATAL_ERROR "doxygen found undocumented or badly documented names (above)")
endif()
