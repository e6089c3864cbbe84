# add_test_host_library(NAME SOURCE_DIR dir MODULES ... CORE_SOURCES ... HOST_SOURCES ...
#                       [DEFINITIONS ...] OPTIONS ...)
#
# One static library NAME with the numerical core, the host binding, the entries of MODULES
# and the test host, every file compiled with OPTIONS (the instrumentation: sanitizers,
# coverage). Each entry is renamed MODULE_mex_function (tarvel_mex_function, ...) so that
# every module links into one program; the test host's mex.h comes first on their include path.
# MATLAB_MEX_FILE makes the binding poll the interrupt flag through utIsInterruptPending,
# which the test host provides, and report messages as that host does (verbatim).
# DEFINITIONS are the core's own compile definitions. Programs linking NAME get the test
# host's headers and OPTIONS as link options.
function(add_test_host_library name)
  cmake_parse_arguments(ARG "" "SOURCE_DIR" "MODULES;CORE_SOURCES;HOST_SOURCES;DEFINITIONS;OPTIONS"
                        ${ARGN})
  set(src ${ARG_SOURCE_DIR})
  find_package(Threads REQUIRED)

  set(entries)
  set(targets ${name})
  foreach(module ${ARG_MODULES})
    add_library(${name}_${module} OBJECT ${src}/modules/${module}.cpp)
    target_compile_definitions(${name}_${module} PRIVATE mexFunction=${module}_mex_function)
    list(APPEND entries $<TARGET_OBJECTS:${name}_${module}>)
    list(APPEND targets ${name}_${module})
  endforeach()
  add_library(${name} STATIC
    ${ARG_CORE_SOURCES} ${ARG_HOST_SOURCES} ${src}/tests/modules/test_host/test_host.cpp ${entries})

  foreach(target ${targets})
    target_include_directories(${target} BEFORE PRIVATE ${src}/tests/modules/test_host)
    target_include_directories(${target} PRIVATE ${src})
    target_compile_definitions(${target} PRIVATE MATLAB_MEX_FILE ${ARG_DEFINITIONS})
    # Results must match the Octave modules bit for bit: no fused multiply-add.
    target_compile_options(${target} PRIVATE -ffp-contract=off -g ${ARG_OPTIONS})
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  endforeach()
  target_include_directories(${name} INTERFACE ${src}/tests/modules/test_host ${src})
  target_link_libraries(${name} PUBLIC Threads::Threads)
  target_link_options(${name} INTERFACE ${ARG_OPTIONS})
endfunction()
