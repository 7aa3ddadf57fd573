# Cross-builds for 64-bit Windows with Debian's MinGW-w64 compilers (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         [-DLV_QT_PREFIX=DIR] [-DLV_GTEST_PREFIX=DIR]
# LV_QT_PREFIX and LV_GTEST_PREFIX (or the environment variables of the same names) are the
# Qt and GoogleTest builds for the target that scripts/qt-windows and scripts/gtest-windows
# print on their last line. Both are optional: the engine and the command-line programs need
# neither, and scripts/qt-windows builds Qt itself through this file.
#
# The posix flavour of the compilers, not the win32 one: it implements std::thread, std::mutex
# and std::condition_variable (through winpthreads), which the engine's writer thread uses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LV_MINGW_TRIPLET}-g++-posix)
# CMake guesses binutils from the compiler's name and the "-posix" suffix defeats the guess.
find_program(CMAKE_RC_COMPILER ${LV_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR ${LV_MINGW_TRIPLET}-ar REQUIRED)
find_program(CMAKE_RANLIB ${LV_MINGW_TRIPLET}-ranlib REQUIRED)
find_program(CMAKE_STRIP ${LV_MINGW_TRIPLET}-strip REQUIRED)

# A toolchain file is read again for every try_compile project, which sees only the cache
# variables named here; the environment reaches it either way.
foreach(var LV_QT_PREFIX LV_GTEST_PREFIX)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LV_QT_PREFIX LV_GTEST_PREFIX)

# Libraries, headers and packages come only from the MinGW root and the target builds above,
# never from the build machine's /usr, whose Linux libraries would otherwise be found first.
# Programs run on the build machine (moc, uic, rcc come from the host's Qt), so they are
# searched for there. A prefix given in CMAKE_PREFIX_PATH is found only if it is also a root
# here: CMake leaves a path that starts with a root as it is and re-roots every other path.
set(CMAKE_FIND_ROOT_PATH /usr/${LV_MINGW_TRIPLET})
foreach(prefix IN ITEMS ${LV_QT_PREFIX} ${LV_GTEST_PREFIX})
  list(APPEND CMAKE_FIND_ROOT_PATH ${prefix})
  list(APPEND CMAKE_PREFIX_PATH ${prefix})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A Qt built for the target finds its moc, rcc and uic in the build machine's Qt (Debian's
# qt6-base-dev-tools), as scripts/qt-windows built it to.
if(LV_QT_PREFIX AND NOT QT_HOST_PATH)
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()

# The build runs some of its own programs (the template and the demo catalogue are made by
# lvtemplate and lvsample), CTest runs the tests, and gtest_discover_tests lists a test
# program's tests by running it: all of that goes through wine. Without wine, building the
# libraries and programs still works.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/lib/wine/wine64
   AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
  get_filename_component(LV_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ABSOLUTE)
  # CTest's environment lacks the cache variable; a Qt program under wine needs Qt's DLLs.
  if(LV_QT_PREFIX)
    set(CMAKE_CROSSCOMPILING_EMULATOR env LV_QT_PREFIX=${LV_QT_PREFIX} ${LV_WINE_RUN})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LV_WINE_RUN})
  endif()
endif()
