# Shared settings for the project's own targets.

if(PAGESTOW_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    # GCC 12 warns of uninitialised members inside std::function and std::regex once the sanitizers
    # instrument them; the warning is known to be unreliable there, and the other builds keep it.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
endif()

# Warnings are errors on our own targets only, and only with PAGESTOW_WERROR (CI turns it on; a
# packager's compiler may warn where ours does not). Third-party headers come in as system headers.
# Aggregates such as the snapshot's element grow optional trailing members that most builders leave
# at their defaults, so a partial brace initialiser is no fault here.
# GCC 12 at -O2 and above reports overlapping copies inside std::string that cannot happen (GCC bug
# 105329); there the warning stays a warning, so a Release build with warnings as errors still builds.
function(pagestow_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-missing-field-initializers
        $<$<BOOL:${PAGESTOW_WERROR}>:-Werror>)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-error=restrict)
    endif()
endfunction()

# pagestow_library(NAME name SOURCES ... [DEPENDS ...] [PRIVATE_DEPENDS ...])
# Makes pagestow_<name> with the alias pagestow::<name>, its include root at src/.
function(pagestow_library)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    add_library(pagestow_${ARG_NAME} STATIC ${ARG_SOURCES})
    add_library(pagestow::${ARG_NAME} ALIAS pagestow_${ARG_NAME})
    target_include_directories(pagestow_${ARG_NAME} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(pagestow_${ARG_NAME} PUBLIC ${ARG_DEPENDS} PRIVATE ${ARG_PRIVATE_DEPENDS})
    set_target_properties(pagestow_${ARG_NAME} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    pagestow_warnings(pagestow_${ARG_NAME})
endfunction()

# pagestow_test(NAME name SOURCES ... DEPENDS ... [LABELS ...])
# One GoogleTest program per module, each test discovered by CTest.
function(pagestow_test)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPENDS;LABELS" ${ARGN})
    if(NOT PAGESTOW_BUILD_TESTS)
        return()
    endif()
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPENDS} GTest::gtest GTest::gtest_main)
    pagestow_warnings(${ARG_NAME})
    set(labels ${ARG_LABELS})
    if(NOT labels)
        set(labels unit)
    endif()
    gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
