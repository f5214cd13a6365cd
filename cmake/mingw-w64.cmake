# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads)
# against the Qt and libsodium that scripts/windows-toolchain.sh builds.
#
# QT_WIN_PREFIX, SODIUM_WIN_PREFIX, SEVENZIP_WIN_EXE and MINGW_RUNTIME_DLLS
# come from cache variables, else from environment variables of the same names,
# else from the toolchain.env the script wrote in its default cache folder.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
# The win32-thread compilers lack std::thread and std::mutex.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(_vlm_toolchain_vars QT_WIN_PREFIX SODIUM_WIN_PREFIX SEVENZIP_WIN_EXE MINGW_RUNTIME_DLLS)

if(DEFINED ENV{VLM_WINDOWS_CACHE})
    set(_vlm_cache "$ENV{VLM_WINDOWS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(_vlm_cache "$ENV{XDG_CACHE_HOME}/vlm-updater-windows")
else()
    set(_vlm_cache "$ENV{HOME}/.cache/vlm-updater-windows")
endif()
set(_vlm_env_file "${_vlm_cache}/toolchain.env")
if(EXISTS "${_vlm_env_file}")
    file(STRINGS "${_vlm_env_file}" _vlm_env_lines REGEX "^[A-Z_]+='.*'$")
endif()

foreach(_vlm_var IN LISTS _vlm_toolchain_vars)
    if(NOT "${${_vlm_var}}" STREQUAL "")
        continue()
    endif()
    if(NOT "$ENV{${_vlm_var}}" STREQUAL "")
        set(${_vlm_var} "$ENV{${_vlm_var}}")
    else()
        foreach(_vlm_line IN LISTS _vlm_env_lines)
            if(_vlm_line MATCHES "^${_vlm_var}='(.*)'$")
                set(${_vlm_var} "${CMAKE_MATCH_1}")
            endif()
        endforeach()
    endif()
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${_vlm_toolchain_vars})

if(NOT QT_WIN_PREFIX OR NOT EXISTS "${QT_WIN_PREFIX}/lib/cmake/Qt5/Qt5Config.cmake")
    message(FATAL_ERROR "No Qt for MinGW-w64 at '${QT_WIN_PREFIX}': run scripts/windows-toolchain.sh, "
                        "or set QT_WIN_PREFIX")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${QT_WIN_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${QT_WIN_PREFIX})
if(SODIUM_WIN_PREFIX)
    list(APPEND CMAKE_FIND_ROOT_PATH ${SODIUM_WIN_PREFIX})
    list(APPEND CMAKE_PREFIX_PATH ${SODIUM_WIN_PREFIX})
endif()
# Libraries, headers and packages only from the Windows prefixes; programs
# (Qt's moc, rcc and uic among them) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not offer the host's libraries.
if(SODIUM_WIN_PREFIX)
    set(ENV{PKG_CONFIG_LIBDIR} "${SODIUM_WIN_PREFIX}/lib/pkgconfig")
else()
    set(ENV{PKG_CONFIG_LIBDIR} "/usr/${MINGW_TRIPLET}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Qt's package files give Qt5::moc, Qt5::rcc and Qt5::uic as these host
# programs of the cross build, for AUTOMOC and friends.
foreach(_vlm_tool moc rcc uic)
    if(NOT EXISTS "${QT_WIN_PREFIX}/bin/${_vlm_tool}")
        message(FATAL_ERROR "Qt's host tool ${_vlm_tool} is missing from ${QT_WIN_PREFIX}/bin")
    endif()
endforeach()

# ctest runs the cross-built tests through Wine, their reports shown after.
find_program(WINE_EXECUTABLE NAMES wine wine64 NO_CMAKE_FIND_ROOT_PATH)
if(WINE_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        /bin/bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test.sh" "${WINE_EXECUTABLE}")
endif()
