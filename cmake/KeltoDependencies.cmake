# Locates the build's dependencies: Debian packages through their CMake configs, Pinocchio through the
# cmeel prefix of the project's Python environment and MuJoCo through its wheel.

set(KELTO_VENV "${PROJECT_SOURCE_DIR}/.venv" CACHE PATH "Python environment holding the Pinocchio and MuJoCo wheels")
set(KELTO_PYTHON "${KELTO_VENV}/bin/python")
if(NOT EXISTS "${KELTO_PYTHON}")
  message(FATAL_ERROR "Python environment not found at ${KELTO_VENV}; run scripts/bootstrap.sh first")
endif()

find_package(yaml-cpp REQUIRED)
find_package(Eigen3 3.3 REQUIRED NO_MODULE)
find_package(Threads REQUIRED)

# Pinocchio: the cmeel wheel ships its CMake configuration under the cmeel prefix.
execute_process(
  COMMAND "${KELTO_PYTHON}" -m cmeel cmake
  OUTPUT_VARIABLE KELTO_CMEEL_PREFIX
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE _cmeel_result)
if(NOT _cmeel_result EQUAL 0 OR NOT IS_DIRECTORY "${KELTO_CMEEL_PREFIX}")
  message(FATAL_ERROR "'${KELTO_PYTHON} -m cmeel cmake' did not name the cmeel prefix; run scripts/bootstrap.sh")
endif()
list(APPEND CMAKE_PREFIX_PATH "${KELTO_CMEEL_PREFIX}")
set(Boost_NO_WARN_NEW_VERSIONS ON)
# Pinocchio still asks for coal under its old name; the compatibility shim warns unless told not to.
set(COAL_DISABLE_HPP_FCL_WARNINGS ON)
find_package(pinocchio 3 REQUIRED CONFIG)
set_property(TARGET pinocchio::pinocchio APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS COAL_DISABLE_HPP_FCL_WARNINGS)

# MuJoCo: the wheel ships include/mujoco and a versioned libmujoco.so.3.x.y next to its Python module.
execute_process(
  COMMAND "${KELTO_PYTHON}" -c "import os, mujoco; print(os.path.dirname(mujoco.__file__))"
  OUTPUT_VARIABLE KELTO_MUJOCO_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
file(GLOB _mujoco_libs "${KELTO_MUJOCO_DIR}/libmujoco.so.3.*" "${KELTO_MUJOCO_DIR}/libmujoco.3.*.dylib")
if(NOT _mujoco_libs OR NOT EXISTS "${KELTO_MUJOCO_DIR}/include/mujoco/mujoco.h")
  message(FATAL_ERROR "MuJoCo wheel not found in ${KELTO_VENV}; run scripts/bootstrap.sh")
endif()
list(GET _mujoco_libs 0 KELTO_MUJOCO_LIBRARY)
add_library(kelto::mujoco SHARED IMPORTED GLOBAL)
set_target_properties(kelto::mujoco PROPERTIES
  IMPORTED_LOCATION "${KELTO_MUJOCO_LIBRARY}"
  IMPORTED_NO_SONAME FALSE
  INTERFACE_INCLUDE_DIRECTORIES "${KELTO_MUJOCO_DIR}/include")

find_package(glfw3 3.3 REQUIRED)
find_package(OpenGL REQUIRED)

# Binaries of the build tree find the wheel libraries through their rpath, without environment variables.
# The installed binaries load copies installed beside them instead (cmake/KeltoInstall.cmake).
set(KELTO_WHEEL_LIBRARY_DIRS "${KELTO_CMEEL_PREFIX}/lib" "${KELTO_MUJOCO_DIR}")
set(CMAKE_BUILD_RPATH "${KELTO_WHEEL_LIBRARY_DIRS}")
