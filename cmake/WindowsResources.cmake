# Embeds the application manifest (run as the invoking user, no elevation) and
# a version resource in a Windows executable.
enable_language(RC)

function(login_challenge_add_windows_resources target)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(manifest_architecture amd64)
    else()
        set(manifest_architecture x86)
    endif()
    set(resource_dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
    set(manifest ${resource_dir}/${target}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/src/windows/application.manifest.in ${manifest} @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/src/windows/resources.rc.in ${resource_dir}/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${resource_dir}/${target}.rc)
    set_property(SOURCE ${resource_dir}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${manifest})
endfunction()
