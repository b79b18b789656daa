# Target selection. Portable sources are listed plainly; each OS edge is a
# pair of files beside its module, picked here by the suffix helpers:
#   talvik_platform_sources(VAR foo)  ->  foo_win.cpp on Windows,
#                                         foo_posix.cpp elsewhere.
if(WIN32)
    set(TALVIK_WINDOWS ON)
    set(TALVIK_LINUX OFF)
    set(TALVIK_OS_SUFFIX win)
else()
    set(TALVIK_WINDOWS OFF)
    set(TALVIK_LINUX ON)
    set(TALVIK_OS_SUFFIX posix)
endif()

function(talvik_platform_sources out)
    set(files)
    foreach(stem IN LISTS ARGN)
        list(APPEND files ${stem}_${TALVIK_OS_SUFFIX}.cpp)
    endforeach()
    set(${out} ${files} PARENT_SCOPE)
endfunction()

# Warnings and common settings for every project target.
function(talvik_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    if(TALVIK_WINDOWS)
        target_compile_definitions(${target} PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
    endif()
endfunction()

if(TALVIK_WINDOWS)
    # One self-contained executable per program: no mingw runtime DLLs to ship.
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static -static-libgcc -static-libstdc++")
endif()

# talvik_version_resource(<program target> <description>): the project's
# version as the program's version resource (Windows only).
function(talvik_version_resource target description)
    if(NOT TALVIK_WINDOWS)
        return()
    endif()
    enable_language(RC)
    set(TALVIK_VERSION_PROGRAM ${target})
    set(TALVIK_VERSION_DESCRIPTION "${description}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
