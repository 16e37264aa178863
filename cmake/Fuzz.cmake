# vorelin_add_fuzzer(NAME SOURCES ... LIBRARIES ... SEEDS FILE...): a fuzz target, one
# LLVMFuzzerTestOneInput in SOURCES.
#  - Always: replay_NAME, built by the normal compiler with a plain main(), and the CTest
#    fuzz_replay_NAME that feeds it every seed (files of "NAME: hex" lines) and whatever
#    earlier fuzzing found in tests/<...>/corpus/NAME, so each build re-checks them.
#  - With VORELIN_FUZZ (clang only): fuzz_NAME, the libFuzzer program scripts/fuzz runs.
option(VORELIN_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(VORELIN_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VORELIN_FUZZ needs clang (CXX=clang++)")
    endif()
    # Everything the fuzzers link is instrumented; only the fuzzers get libFuzzer's main().
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

function(vorelin_add_fuzzer name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES;SEEDS")
    add_executable(replay_${name} ${arg_SOURCES} ${PROJECT_SOURCE_DIR}/tests/FuzzReplay.cpp)
    target_link_libraries(replay_${name} PRIVATE ${arg_LIBRARIES})
    target_include_directories(replay_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
    add_test(NAME fuzz_replay_${name} COMMAND replay_${name} ${arg_SEEDS} ${corpus})
    set_tests_properties(fuzz_replay_${name} PROPERTIES LABELS unit TIMEOUT 120)

    if(VORELIN_FUZZ)
        add_executable(fuzz_${name} ${arg_SOURCES})
        target_link_libraries(fuzz_${name} PRIVATE ${arg_LIBRARIES})
        target_include_directories(fuzz_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
        target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    endif()
endfunction()
