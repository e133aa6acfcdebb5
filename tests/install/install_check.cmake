# Installs the build into a fresh prefix and uses the installed tree as an application would: the C
# client built through pkg-config and through find_package, each run on the installed resources, and
# the installed program calibrating from a samples file against the installed system configuration.
# Run with cmake -P; the -D variables are set where the test is registered (tests/CMakeLists.txt).
cmake_minimum_required(VERSION 3.25)

# Runs a command; a nonzero exit fails the check with its output. The standard output is returned in
# run_output.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_file path)
  if(NOT EXISTS "${prefix}/${path}" OR IS_DIRECTORY "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
set(hand_dir "${DATADIR}/kelto_hand/hands/dynamic_openxr_hand")
set(system_config "${hand_dir}/dynamic_openxr_hand_system.yaml")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(ENV{KELTO_HOME} "${WORK_DIR}/home")

run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(path IN ITEMS "${LIBDIR}/${LIBRARY_FILE}" "${INCLUDEDIR}/kelto_hand.h"
                      "${BINDIR}/kelto_hand_runtime" "${system_config}" "${hand_dir}/config.yaml"
                      "${hand_dir}/pose_library.yaml" "${hand_dir}/resources/pinocchio/metadata.yaml"
                      "${hand_dir}/resources/pinocchio/right.urdf" "${hand_dir}/resources/mujoco/left.xml")
  expect_file("${path}")
endforeach()
foreach(link IN ITEMS "${LIBRARY_LINKER_NAME}" "${LIBRARY_SONAME}")
  if(NOT IS_SYMLINK "${prefix}/${LIBDIR}/${link}")
    message(FATAL_ERROR "${LIBDIR}/${link} is not a version link")
  endif()
  expect_file("${LIBDIR}/${link}")
endforeach()

# pkg-config: compiler and linker flags and the resource root from kelto_hand.pc.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
foreach(query IN ITEMS cflags libs variable=libdir variable=resource_root)
  run("pkg-config --${query}" "${PKG_CONFIG}" "--${query}" kelto_hand)
  string(STRIP "${run_output}" run_output)
  string(REGEX REPLACE "^variable=" "" query "${query}")
  set(pc_${query} "${run_output}")
endforeach()
separate_arguments(pc_cflags UNIX_COMMAND "${pc_cflags}")
separate_arguments(pc_libs UNIX_COMMAND "${pc_libs}")
run("building the client through pkg-config" "${C_COMPILER}" -std=c99 -pedantic-errors -Wall -Wextra -Werror
    ${pc_cflags} "-DKELTO_RESOURCE_ROOT=\"${pc_resource_root}\"" "${SOURCE_DIR}/install_client.c"
    -o "${WORK_DIR}/pkg_config_client" ${pc_libs} "-Wl,-rpath,${pc_libdir}")
run("the pkg-config client" "${WORK_DIR}/pkg_config_client")

# find_package: a throw-away project configured against the prefix.
run("configuring the find_package project" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/find_package_project"
    -B "${WORK_DIR}/find_package_build" "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
    -DCMAKE_BUILD_TYPE=Release)
run("building the find_package project" "${CMAKE_COMMAND}" --build "${WORK_DIR}/find_package_build")
run("the find_package client" "${WORK_DIR}/find_package_build/install_client")

# The installed program on the installed configuration: its overlay extends that configuration.
run("writing calibration samples" "${GLOVE_SIMULATOR}" --write-samples "${WORK_DIR}/samples.yaml")
run("the installed program" "${prefix}/${BINDIR}/kelto_hand_runtime" --mode calibrate
    --samples-file "${WORK_DIR}/samples.yaml" --output "${WORK_DIR}/calibration.yaml"
    --config "${prefix}/${system_config}")
file(READ "${WORK_DIR}/calibration.yaml" overlay)
file(REAL_PATH "${prefix}/${system_config}" installed_config)
string(FIND "${overlay}" "extends: ${installed_config}\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the overlay does not extend ${installed_config}:\n${overlay}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
