# Installs the build into a scratch prefix, moves the prefix to another path (so that nothing may depend
# on where it was installed) and uses the moved tree as an application would: every installed binary
# must load its libraries from the tree itself or the system, never from the checkout, its Python
# environment or the build tree; the C client built through pkg-config and through find_package runs on
# the installed resources, and the installed program calibrates from a samples file against the
# installed system configuration. The clients and the program run with the checkout's Python
# environment hidden from them where the machine allows it (a mount namespace of their own).
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

# Runs a command as run() does, with the Python environment hidden when hide_venv is set.
function(run_without_venv what)
  run("${what}" ${hide_venv} ${ARGN})
endfunction()

function(expect_file path)
  if(NOT EXISTS "${prefix}/${path}" OR IS_DIRECTORY "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

# Installs into <scratch>/installed, then renames that to <scratch>/moved, the prefix the rest checks.
# The scratch directory lies outside the checkout, so that a library resolved inside the prefix is never
# mistaken for one resolved in the checkout.
function(install_and_move)
  file(REMOVE_RECURSE "${scratch}")
  run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${scratch}/installed")
  file(RENAME "${scratch}/installed" "${prefix}")
endfunction()

function(expect_layout)
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
endfunction()

# Appends to `loaded` the real paths of the libraries ldd resolves for a binary, and to `problems` each
# one that is not found or that resolves under one of the forbidden roots.
function(collect_loaded_libraries binary)
  run("ldd ${binary}" "${LDD}" "${binary}")
  string(REGEX MATCHALL "[^\n]+" lines "${run_output}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "not found")
      list(APPEND problems "${binary}: ${line}")
    elseif(line MATCHES "=> (/[^ ]+) \\(")
      file(REAL_PATH "${CMAKE_MATCH_1}" path)
      list(APPEND loaded "${path}")
      foreach(root IN LISTS forbidden_roots)
        cmake_path(IS_PREFIX root "${path}" NORMALIZE under_root)
        if(under_root)
          list(APPEND problems "${binary}: ${line}")
          break()
        endif()
      endforeach()
    endif()
  endforeach()
  set(loaded "${loaded}" PARENT_SCOPE)
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

# The installed library, the program and every library installed beside them load nothing from the
# checkout, the Python environment or the build tree, and nothing is missing; every library installed
# beside them is one they load.
function(check_dependencies)
  file(REAL_PATH "${PROJECT_DIR}" project_root)
  file(REAL_PATH "${VENV_DIR}" venv_root)
  file(REAL_PATH "${BUILD_DIR}" build_root)
  set(forbidden_roots "${project_root}" "${venv_root}" "${build_root}")
  file(GLOB bundled LIST_DIRECTORIES false "${prefix}/${LIBDIR}/*.so*" "${prefix}/${LIBDIR}/*.dylib")
  list(REMOVE_ITEM bundled "${prefix}/${LIBDIR}/${LIBRARY_FILE}" "${prefix}/${LIBDIR}/${LIBRARY_SONAME}"
       "${prefix}/${LIBDIR}/${LIBRARY_LINKER_NAME}")
  set(loaded "")
  set(problems "")
  foreach(binary IN ITEMS "${prefix}/${LIBDIR}/${LIBRARY_FILE}" "${prefix}/${BINDIR}/kelto_hand_runtime")
    collect_loaded_libraries("${binary}")
  endforeach()
  set(loaded_by_installed "${loaded}")
  foreach(library IN LISTS bundled)
    collect_loaded_libraries("${library}")
    file(REAL_PATH "${library}" real)
    if(NOT real IN_LIST loaded_by_installed)
      list(APPEND problems "${library}: installed but loaded by neither the library nor the program")
    endif()
  endforeach()
  if(problems)
    list(JOIN problems "\n  " problems)
    message(FATAL_ERROR "the installed tree does not stand alone:\n  ${problems}")
  endif()
  list(TRANSFORM bundled REPLACE "^.*/" "")
  list(JOIN bundled " " bundled)
  message(STATUS "libraries installed with the tree: ${bundled}")
endfunction()

# Sets hide_venv to a command prefix that runs a command with an empty file system mounted over the
# Python environment, in a mount namespace of its own (other processes keep seeing the real one); left
# empty, with a warning, where the machine does not allow it.
function(find_venv_hider)
  set(hider unshare --mount sh -c [[mount -t tmpfs kelto_no_venv "$1" && shift && exec "$@"]] hide_venv
            "${VENV_DIR}")
  execute_process(COMMAND ${hider} sh -c [[test ! -e "$1"]] probe "${VENV_DIR}/bin/python"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0)
    message(STATUS "the clients and the program run with ${VENV_DIR} hidden")
    set(hide_venv ${hider} PARENT_SCOPE)
  else()
    message(WARNING "could not hide ${VENV_DIR} (unshare --mount: ${rc} ${out}${err}); the clients and "
                    "the program run with it in place, and only the ldd check shows they do not use it")
  endif()
endfunction()

# pkg-config: compiler and linker flags and the resource root from kelto_hand.pc.
function(check_pkg_config_client)
  set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
  foreach(query IN ITEMS cflags libs variable=libdir variable=resource_root)
    run("pkg-config --${query}" "${PKG_CONFIG}" "--${query}" kelto_hand)
    string(STRIP "${run_output}" run_output)
    string(REGEX REPLACE "^variable=" "" query "${query}")
    set(pc_${query} "${run_output}")
  endforeach()
  separate_arguments(pc_cflags UNIX_COMMAND "${pc_cflags}")
  separate_arguments(pc_libs UNIX_COMMAND "${pc_libs}")
  run("building the client through pkg-config" "${C_COMPILER}" -std=c99 -pedantic-errors -Wall -Wextra
      -Werror ${pc_cflags} "-DKELTO_RESOURCE_ROOT=\"${pc_resource_root}\"" "${SOURCE_DIR}/install_client.c"
      -o "${WORK_DIR}/pkg_config_client" ${pc_libs} "-Wl,-rpath,${pc_libdir}")
  run_without_venv("the pkg-config client" "${WORK_DIR}/pkg_config_client")
endfunction()

# find_package: a throw-away project configured against the prefix.
function(check_find_package_client)
  run("configuring the find_package project" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/find_package_project"
      -B "${WORK_DIR}/find_package_build" "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
      -DCMAKE_BUILD_TYPE=Release)
  run("building the find_package project" "${CMAKE_COMMAND}" --build "${WORK_DIR}/find_package_build")
  run_without_venv("the find_package client" "${WORK_DIR}/find_package_build/install_client")
endfunction()

# The installed program on the installed configuration: its overlay extends that configuration.
function(check_installed_program)
  run("writing calibration samples" "${GLOVE_SIMULATOR}" --write-samples "${WORK_DIR}/samples.yaml")
  run_without_venv("the installed program" "${prefix}/${BINDIR}/kelto_hand_runtime" --mode calibrate
                   --samples-file "${WORK_DIR}/samples.yaml" --output "${WORK_DIR}/calibration.yaml"
                   --config "${prefix}/${system_config}")
  file(READ "${WORK_DIR}/calibration.yaml" overlay)
  file(REAL_PATH "${prefix}/${system_config}" installed_config)
  string(FIND "${overlay}" "extends: ${installed_config}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the overlay does not extend ${installed_config}:\n${overlay}")
  endif()
endfunction()

set(temp_root "$ENV{TMPDIR}")
if(NOT temp_root)
  set(temp_root "/tmp")
endif()
# One scratch directory per build tree: a failed run leaves its prefix there to look at, and the next
# run of the same build tree removes it.
string(MD5 build_key "${BUILD_DIR}")
string(SUBSTRING "${build_key}" 0 12 build_key)
set(scratch "${temp_root}/kelto_install_check_${build_key}")
set(prefix "${scratch}/moved")
set(hand_dir "${DATADIR}/kelto_hand/hands/dynamic_openxr_hand")
set(system_config "${hand_dir}/dynamic_openxr_hand_system.yaml")
if(NOT LDD)
  message(FATAL_ERROR "ldd not found: the installed tree's libraries cannot be checked")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(ENV{KELTO_HOME} "${WORK_DIR}/home")

install_and_move()
expect_layout()
check_dependencies()
set(hide_venv "")
find_venv_hider()
check_pkg_config_client()
check_find_package_client()
check_installed_program()
file(REMOVE_RECURSE "${WORK_DIR}" "${scratch}")
