# zefo_program_resources(<target>): gives a Windows executable the program's
# manifest (administrator rights, common controls 6, per-monitor DPI awareness,
# supported systems) and its version information from the project version.
# Elsewhere it does nothing. The resources themselves are the window program's, in
# src/app/resources; executables of the tests and tools carry them too.
set(ZEFO_RESOURCE_DIR ${PROJECT_SOURCE_DIR}/src/app/resources)

function(zefo_program_resources target)
    if(NOT WIN32)
        return()
    endif()
    set(ZEFO_VERSION_PATCH_NUMBER ${PROJECT_VERSION_PATCH})
    if(NOT ZEFO_VERSION_PATCH_NUMBER)
        set(ZEFO_VERSION_PATCH_NUMBER 0)
    endif()
    set(ZEFO_EXE_NAME "$<TARGET_FILE_NAME:${target}>")
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
    configure_file(${ZEFO_RESOURCE_DIR}/zefo_version.h.in ${generated}/zefo_version.h.in @ONLY)
    file(GENERATE OUTPUT ${generated}/zefo_version.h INPUT ${generated}/zefo_version.h.in TARGET ${target})
    target_sources(${target} PRIVATE ${ZEFO_RESOURCE_DIR}/zefo.rc)
    # windres looks for included files and the manifest in these folders.
    set_property(SOURCE ${ZEFO_RESOURCE_DIR}/zefo.rc TARGET_DIRECTORY ${target} APPEND PROPERTY
                 INCLUDE_DIRECTORIES ${generated} ${ZEFO_RESOURCE_DIR})
    set_property(SOURCE ${ZEFO_RESOURCE_DIR}/zefo.rc TARGET_DIRECTORY ${target} APPEND PROPERTY
                 OBJECT_DEPENDS ${ZEFO_RESOURCE_DIR}/zefo.manifest ${generated}/zefo_version.h)
endfunction()
