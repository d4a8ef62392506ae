# One program per learner of a challenge set. Each variant compiles only its
# own builders' unit and links it with the objects every variant shares, so a
# set costs one build of the program plus one small unit and a link per
# learner, and Ninja builds the learners in parallel.
function(login_challenge_add_variants variants_dir)
    file(GLOB learner_dirs LIST_DIRECTORIES true ${variants_dir}/*)
    list(SORT learner_dirs)
    set(pch_owner)
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
        # Every address of the variant moves with its own image base, so that
        # no debugger recipe with a fixed address carries over between learners.
        file(STRINGS ${learner_dir}/image-base.txt image_base LIMIT_COUNT 1)
        if(WIN32)
            target_link_options(${target} PRIVATE LINKER:--image-base=${image_base})
        else()
            target_link_options(${target} PRIVATE LINKER:-Ttext-segment=${image_base})
        endif()
        # The standard headers are parsed once for all learners: most of a
        # unit's compile time, and the same object either way.
        if(NOT pch_owner)
            set(pch_owner ${target})
            target_precompile_headers(${target} PRIVATE <array> <cstdio> <iostream> <string>)
        else()
            target_precompile_headers(${target} REUSE_FROM ${pch_owner})
        endif()
        set_target_properties(${target} PROPERTIES
            OUTPUT_NAME login-challenge
            RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/variants/${learner})
    endforeach()
endfunction()
