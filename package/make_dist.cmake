# Assembles the Octave package NAME-VERSION.tar.gz in OUTPUT_DIR:
#   DESCRIPTION, INDEX     from package/*.in, with the name, version and today's date
#   COPYING, post_install.m
#   inst/                  inst/ as it is: the functions, the modules' help, private/
#   src/                   package/Makefile, modules.txt and the C++ sources (core/, modules/)
# Run as: cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -DKRR_PACKAGE_NAME=... -DKRR_VERSION=...
#               -P make_dist.cmake
cmake_minimum_required(VERSION 3.18)

foreach(var SOURCE_DIR OUTPUT_DIR KRR_PACKAGE_NAME KRR_VERSION)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "make_dist.cmake: ${var} is not set")
  endif()
endforeach()

set(base ${KRR_PACKAGE_NAME}-${KRR_VERSION})
set(stage_root ${OUTPUT_DIR}/dist-stage)
set(stage ${stage_root}/${base})
set(tarball ${OUTPUT_DIR}/${base}.tar.gz)

file(REMOVE_RECURSE ${stage_root})
file(MAKE_DIRECTORY ${stage}/src)

# CMake's TIMESTAMP honours SOURCE_DATE_EPOCH, for reproducible tarballs.
string(TIMESTAMP KRR_DATE "%Y-%m-%d" UTC)
configure_file(${SOURCE_DIR}/package/DESCRIPTION.in ${stage}/DESCRIPTION @ONLY)
configure_file(${SOURCE_DIR}/package/INDEX.in ${stage}/INDEX @ONLY)
file(COPY ${SOURCE_DIR}/COPYING ${SOURCE_DIR}/package/post_install.m DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/package/Makefile ${SOURCE_DIR}/modules.txt DESTINATION ${stage}/src)
file(COPY ${SOURCE_DIR}/inst DESTINATION ${stage} FILES_MATCHING PATTERN "*.m")
foreach(folder core modules)
  file(COPY ${SOURCE_DIR}/${folder} DESTINATION ${stage}/src
       FILES_MATCHING PATTERN "*.cpp" PATTERN "*.h")
endforeach()

# Only the current version's tarball is kept, so build/NAME-*.tar.gz names exactly one.
file(GLOB old_tarballs ${OUTPUT_DIR}/${KRR_PACKAGE_NAME}-*.tar.gz)
if(old_tarballs)
  file(REMOVE ${old_tarballs})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${tarball} ${base}
                WORKING_DIRECTORY ${stage_root}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_dist.cmake: could not create ${tarball}")
endif()
file(REMOVE_RECURSE ${stage_root})
message(STATUS "Package: ${tarball}")
