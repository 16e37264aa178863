# vorelin_expose(TARGET): makes TARGET's headers includable by their path from the project root
# ("platform/messenger/Messenger.h"), and only by targets that link TARGET. Each target gets an
# include root of its own in the build tree holding links to just its headers, so an include of
# a library the target does not link fails to compile.
function(vorelin_expose target)
    get_target_property(sources ${target} SOURCES)
    get_target_property(type ${target} TYPE)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    set(root ${PROJECT_BINARY_DIR}/layers/${target})
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(source IN LISTS sources)
        if(source MATCHES "\\.h$")
            get_filename_component(name ${source} NAME)
            file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${root}/${folder}/${name}
                SYMBOLIC)
        endif()
    endforeach()
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
    endif()
endfunction()
