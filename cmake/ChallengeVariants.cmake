# One program per learner of a challenge set. Each variant compiles only its
# own builders' unit and links it with the objects every variant shares, so a
# set costs one build of the program plus one small unit and a link per
# learner, and Ninja builds the learners in parallel.
function(login_challenge_add_variants variants_dir)
    file(GLOB learner_dirs LIST_DIRECTORIES true ${variants_dir}/*)
    list(SORT learner_dirs)
    foreach(learner_dir IN LISTS learner_dirs)
        if(NOT EXISTS ${learner_dir}/credentials.cpp)
            continue()
        endif()
        get_filename_component(learner ${learner_dir} NAME)
        set(target variant.${learner})
        add_executable(${target} $<TARGET_OBJECTS:login_challenge_entry>
            ${learner_dir}/credentials.cpp)
        target_link_libraries(${target} PRIVATE login_challenge_runtime)
        target_compile_options(${target} PRIVATE
            $<$<CXX_COMPILER_ID:GNU,Clang>:-ffile-prefix-map=${variants_dir}/=>)
        set_target_properties(${target} PROPERTIES
            OUTPUT_NAME login-challenge
            RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/variants/${learner})
    endforeach()
endfunction()
