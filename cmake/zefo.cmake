# Helpers shared by the CMake files of this tree.

# zefo_platform_sources(<target> <dir> <name>...): adds <dir>/<name>_win32.cpp on
# Windows and <dir>/<name>_posix.cpp elsewhere.
function(zefo_platform_sources target dir)
    foreach(name IN LISTS ARGN)
        if(WIN32)
            target_sources(${target} PRIVATE ${dir}/${name}_win32.cpp)
        else()
            target_sources(${target} PRIVATE ${dir}/${name}_posix.cpp)
        endif()
    endforeach()
endfunction()

function(zefo_warnings target)
    target_compile_options(${target} PRIVATE ${ZEFO_WARNINGS})
endfunction()

# zefo_layer(<target> <folder> [<lower folder>...]): a static library for src/<folder>.
# Its include path holds only that folder and the ones named below it (as links in
# the build tree), so that an include of a layer above fails to compile.
function(zefo_layer target folder)
    set(root ${CMAKE_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${root})
    foreach(allowed IN ITEMS ${folder} ${ARGN})
        if(NOT EXISTS ${root}/${allowed})
            file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${allowed} ${root}/${allowed} SYMBOLIC)
        endif()
    endforeach()
    add_library(${target} STATIC)
    target_include_directories(${target} PUBLIC ${root})
    zefo_warnings(${target})
endfunction()
