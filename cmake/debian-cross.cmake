# A cross build with Debian's cross compilers (g++-TRIPLET):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake -DMONITOR_TRIPLET=aarch64-linux-gnu
#
# The tests need GoogleTest built for the target: GTest_DIR names its
# package configuration (see checks/architectures, which builds it from
# Debian's googletest sources).
if(NOT MONITOR_TRIPLET AND DEFINED ENV{MONITOR_TRIPLET})
  set(MONITOR_TRIPLET "$ENV{MONITOR_TRIPLET}")
endif()
if(NOT MONITOR_TRIPLET)
  message(FATAL_ERROR "a cross build needs -DMONITOR_TRIPLET=TRIPLET, such as aarch64-linux-gnu")
endif()
# The compiler checks that CMake makes see the same triplet.
set(ENV{MONITOR_TRIPLET} "${MONITOR_TRIPLET}")

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${MONITOR_TRIPLET}")
set(CMAKE_C_COMPILER ${MONITOR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MONITOR_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MONITOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${MONITOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
