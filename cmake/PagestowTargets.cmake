# Shared settings for the project's own targets.

if(PAGESTOW_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    # -O1 and line tables, as the sanitizers' own guides advise: reports keep their files and lines,
    # and the build takes half the time of -O2 with full debug information (these flags come after
    # the build type's, so they win).
    if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
        add_compile_options(-O1 -g1)
    endif()
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

# The layers are walls: each module's headers are seen through a folder of its own in the build tree
# that holds links to just that module's headers under their usual path (include/engine/ holds
# engine/Snapshot.h, include/engine-static/ holds engine/static/Url.h). A library exports only its own
# folder, so that it sees its own headers and those of the libraries it links, and an include that
# climbs a layer does not compile. scripts/check-layers.py states the same rule as a table, and a test
# compares the two (layers.txt, written below).
set(PAGESTOW_INCLUDE_ROOT ${PROJECT_BINARY_DIR}/include)

# pagestow_header_folder(out dir): makes the header folder of dir (a folder of the tree that holds
# headers: src/engine, src/engine/tests, tests/support) once a configuration and sets out to it. It
# links the headers directly in dir under dir's path without its first part (engine/, engine/tests/,
# support/); a header added or removed later is picked up when the build configures itself again.
function(pagestow_header_folder out dir)
    string(FIND "${dir}" "/" slash)
    math(EXPR slash "${slash} + 1")
    string(SUBSTRING "${dir}" ${slash} -1 prefix)
    string(REPLACE "/" "-" name "${prefix}")
    set(folder ${PAGESTOW_INCLUDE_ROOT}/${name})
    set(${out} ${folder} PARENT_SCOPE)
    get_property(made GLOBAL PROPERTY PAGESTOW_HEADER_FOLDERS)
    if(folder IN_LIST made)
        return()
    endif()
    set_property(GLOBAL APPEND PROPERTY PAGESTOW_HEADER_FOLDERS ${folder})
    # Links of removed headers go; what the build writes there itself (a generated header) stays.
    file(GLOB links LIST_DIRECTORIES false ${folder}/${prefix}/*)
    foreach(link ${links})
        if(IS_SYMLINK ${link})
            file(REMOVE ${link})
        endif()
    endforeach()
    file(MAKE_DIRECTORY ${folder}/${prefix})
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.h)
    foreach(header ${headers})
        get_filename_component(file ${header} NAME)
        file(CREATE_LINK ${header} ${folder}/${prefix}/${file} SYMBOLIC)
    endforeach()
endfunction()

# pagestow_layer(target): counts target among the targets of the module whose CMakeLists.txt makes it,
# in the list of what each module's targets see (layers.txt).
function(pagestow_layer target)
    file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    if(NOT dir MATCHES "^\\.\\.")
        set_property(GLOBAL APPEND PROPERTY PAGESTOW_LAYER_TARGETS "${dir}:${target}")
    endif()
endfunction()

# pagestow_write_layers(): once every target is made, writes layers.txt for scripts/check-layers.py
# --build: the folder of the header folders, then a line a module target, its module and the header
# folders it compiles with.
function(pagestow_write_layers)
    get_property(entries GLOBAL PROPERTY PAGESTOW_LAYER_TARGETS)
    set(content "include\t${PAGESTOW_INCLUDE_ROOT}\n")
    foreach(entry ${entries})
        string(REPLACE ":" ";" entry "${entry}")
        list(GET entry 0 module)
        list(GET entry 1 target)
        string(APPEND content "${module}\t$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>\n")
    endforeach()
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/layers.txt CONTENT "${content}")
endfunction()

# pagestow_use_headers(target module...): target sees the headers of these modules (folders below
# src/) without linking their libraries: the web-process extension, which must not link the engine,
# and programs that compile a module's sources themselves.
function(pagestow_use_headers target)
    foreach(module ${ARGN})
        pagestow_header_folder(folder src/${module})
        target_include_directories(${target} PRIVATE ${folder})
    endforeach()
    target_link_libraries(${target} PRIVATE pagestow::base)
    pagestow_layer(${target})
endfunction()

# pagestow_library(NAME name SOURCES ... [DEPENDS ...] [PRIVATE_DEPENDS ...])
# Makes pagestow_<name> with the alias pagestow::<name>, which exports the header folder of the module
# whose CMakeLists.txt calls it and links the header-only pagestow::base.
function(pagestow_library)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    add_library(pagestow_${ARG_NAME} STATIC ${ARG_SOURCES})
    add_library(pagestow::${ARG_NAME} ALIAS pagestow_${ARG_NAME})
    file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    pagestow_header_folder(headers ${dir})
    target_include_directories(pagestow_${ARG_NAME} PUBLIC ${headers})
    target_link_libraries(pagestow_${ARG_NAME} PUBLIC pagestow::base ${ARG_DEPENDS} PRIVATE ${ARG_PRIVATE_DEPENDS})
    set_target_properties(pagestow_${ARG_NAME} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    pagestow_warnings(pagestow_${ARG_NAME})
    pagestow_layer(pagestow_${ARG_NAME})
endfunction()

# pagestow_test(NAME name SOURCES ... DEPENDS ... [TEST_HEADERS_OF module...] [LABELS ...])
# One GoogleTest program per module, each test discovered by CTest. A test program beside a module sees
# the headers of that module's tests/ folder (capture/tests/SnapshotBuilder.h), and those of the other
# modules' tests/ folders named by TEST_HEADERS_OF.
function(pagestow_test)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPENDS;TEST_HEADERS_OF;LABELS" ${ARGN})
    if(NOT PAGESTOW_BUILD_TESTS)
        return()
    endif()
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPENDS} GTest::gtest GTest::gtest_main)
    file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    set(modules ${ARG_TEST_HEADERS_OF})
    if(NOT dir MATCHES "^\\.\\.")
        list(PREPEND modules ${dir})
    endif()
    foreach(module ${modules})
        pagestow_header_folder(folder src/${module}/tests)
        target_include_directories(${ARG_NAME} PRIVATE ${folder})
    endforeach()
    pagestow_warnings(${ARG_NAME})
    set(labels ${ARG_LABELS})
    if(NOT labels)
        set(labels unit)
    endif()
    gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
