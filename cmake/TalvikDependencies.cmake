# Third-party libraries as imported targets with the same names on both
# targets:
#   talvik::uv        libuv
#   talvik::spdlog    spdlog + fmt
#   talvik::cqueue    moodycamel ConcurrentQueue (headers)
#   talvik::ffmpeg    FFmpeg headers only; the libraries are loaded at run time
#   talvik::usbmuxd   libusbmuxd + libplist (Linux; bound at run time on Windows)
#   talvik::inih      ini reader (Linux; Windows uses the private-profile API)
#   talvik::pipewire  libpipewire (Linux only: the PipeWire camera)
if(TALVIK_LINUX)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(UV REQUIRED IMPORTED_TARGET libuv)
    pkg_check_modules(SPDLOG REQUIRED IMPORTED_TARGET spdlog)
    pkg_check_modules(FMT REQUIRED IMPORTED_TARGET fmt)
    pkg_check_modules(USBMUXD REQUIRED IMPORTED_TARGET libusbmuxd-2.0)
    pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
    pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
    pkg_check_modules(AVCODEC REQUIRED libavcodec)
    pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)

    add_library(talvik::uv ALIAS PkgConfig::UV)
    add_library(talvik_spdlog INTERFACE)
    target_link_libraries(talvik_spdlog INTERFACE PkgConfig::SPDLOG PkgConfig::FMT)
    add_library(talvik::spdlog ALIAS talvik_spdlog)
    add_library(talvik_cqueue INTERFACE)
    add_library(talvik::cqueue ALIAS talvik_cqueue)
    add_library(talvik_ffmpeg INTERFACE)
    target_include_directories(talvik_ffmpeg INTERFACE ${AVCODEC_INCLUDE_DIRS})
    add_library(talvik::ffmpeg ALIAS talvik_ffmpeg)
    add_library(talvik_usbmuxd INTERFACE)
    target_link_libraries(talvik_usbmuxd INTERFACE PkgConfig::USBMUXD PkgConfig::PLIST)
    add_library(talvik::usbmuxd ALIAS talvik_usbmuxd)
    add_library(talvik::inih ALIAS PkgConfig::INIH)
    add_library(talvik::pipewire ALIAS PkgConfig::PIPEWIRE)
    find_package(Threads REQUIRED)
else()
    # Built or unpacked by scripts/install-windows-deps.sh.
    if(NOT DEFINED TALVIK_WIN_DEPS)
        if(DEFINED ENV{TALVIK_CACHE})
            set(TALVIK_WIN_DEPS "$ENV{TALVIK_CACHE}/win64")
        else()
            set(TALVIK_WIN_DEPS "$ENV{HOME}/.cache/talvik/win64")
        endif()
    endif()
    foreach(probe lib/libuv_a.a include/uv.h include/spdlog/spdlog.h include/fmt/format.h
                  include/concurrentqueue/concurrentqueue.h ffmpeg4/libavcodec/avcodec.h)
        if(NOT EXISTS "${TALVIK_WIN_DEPS}/${probe}")
            message(FATAL_ERROR "${TALVIK_WIN_DEPS}/${probe} is missing: run scripts/install-windows-deps.sh")
        endif()
    endforeach()

    add_library(talvik_uv STATIC IMPORTED)
    set_target_properties(talvik_uv PROPERTIES
        IMPORTED_LOCATION "${TALVIK_WIN_DEPS}/lib/libuv_a.a"
        INTERFACE_INCLUDE_DIRECTORIES "${TALVIK_WIN_DEPS}/include"
        INTERFACE_LINK_LIBRARIES "ws2_32;iphlpapi;userenv;psapi;user32;ole32;dbghelp;shell32")
    add_library(talvik::uv ALIAS talvik_uv)

    # Debian's spdlog is configured for a compiled library and an external
    # fmt; here both are used header-only.
    add_library(talvik_spdlog INTERFACE)
    target_include_directories(talvik_spdlog SYSTEM INTERFACE "${TALVIK_WIN_DEPS}/include")
    target_compile_definitions(talvik_spdlog INTERFACE FMT_HEADER_ONLY)
    add_library(talvik::spdlog ALIAS talvik_spdlog)

    add_library(talvik_cqueue INTERFACE)
    target_include_directories(talvik_cqueue SYSTEM INTERFACE "${TALVIK_WIN_DEPS}/include")
    add_library(talvik::cqueue ALIAS talvik_cqueue)

    add_library(talvik_ffmpeg INTERFACE)
    target_include_directories(talvik_ffmpeg SYSTEM INTERFACE "${TALVIK_WIN_DEPS}/ffmpeg4")
    add_library(talvik::ffmpeg ALIAS talvik_ffmpeg)
endif()
