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
