# The installed tree besides the library, its header and the program (whose rules stand with their
# targets): the bundled hands under share/kelto_hand, which is then a resource root for kx_sdk_create
# and holds the system configurations the program takes as --config, and the files through which CMake
# (find_package(kelto_hand CONFIG)) and pkg-config (kelto_hand.pc) find the library.
# The installed tree also holds the wheel libraries the library and the program load, so it does not
# depend on the project's Python environment and can be moved.
include(CMakePackageConfigHelpers)

set(KELTO_INSTALL_RESOURCEDIR "${CMAKE_INSTALL_DATADIR}/kelto_hand")
set(KELTO_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kelto_hand")

install(DIRECTORY "${PROJECT_SOURCE_DIR}/resources/hands" DESTINATION "${KELTO_INSTALL_RESOURCEDIR}")

install(EXPORT kelto_hand_targets NAMESPACE kelto_hand:: FILE kelto_handTargets.cmake
        DESTINATION "${KELTO_INSTALL_CMAKEDIR}")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/kelto_handConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/kelto_handConfig.cmake"
                              INSTALL_DESTINATION "${KELTO_INSTALL_CMAKEDIR}"
                              PATH_VARS KELTO_INSTALL_RESOURCEDIR)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/kelto_handConfigVersion.cmake"
                                 COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/kelto_handConfig.cmake" "${PROJECT_BINARY_DIR}/kelto_handConfigVersion.cmake"
        DESTINATION "${KELTO_INSTALL_CMAKEDIR}")

# The pkg-config file names its directories relative to its own place, so any install prefix works.
file(RELATIVE_PATH KELTO_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" KELTO_PC_TO_PREFIX "${KELTO_PC_TO_PREFIX}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/kelto_hand.pc.in" "${PROJECT_BINARY_DIR}/kelto_hand.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kelto_hand.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# The wheel libraries travel with the tree: of everything the library and the program load (through
# DT_NEEDED, resolved from the build tree at install time), what resolves into the cmeel prefix's
# library directory or the MuJoCo wheel's directory is installed into the library directory under the
# name the binaries load; the rest comes from Debian packages and stays a system dependency.
set(_wheel_regexes "")
foreach(_dir IN LISTS KELTO_WHEEL_LIBRARY_DIRS)
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" _dir "${_dir}")
  list(APPEND _wheel_regexes "^${_dir}/")
endforeach()
# (CMake 3.25 takes the filters only before the destination.)
install(RUNTIME_DEPENDENCY_SET kelto_wheel_libraries
        POST_INCLUDE_REGEXES ${_wheel_regexes} POST_EXCLUDE_REGEXES ".*"
        DIRECTORIES ${KELTO_WHEEL_LIBRARY_DIRS}
        LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}")

# The installed library and program find them through an rpath relative to their own place. MuJoCo
# needs only system libraries; the cmeel libraries find each other through their own rpath, $ORIGIN, but
# coal and octomap look in $ORIGIN/../lib, so the library directory must end in lib (as GNUInstallDirs
# has it on Debian, except in /usr, where the system's directories hold them anyway).
if(APPLE)
  set(_origin "@loader_path")
else()
  set(_origin "$ORIGIN")
endif()
file(RELATIVE_PATH _bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(kelto_hand PROPERTIES INSTALL_RPATH "${_origin}")
if(TARGET kelto_hand_runtime)
  set_target_properties(kelto_hand_runtime PROPERTIES INSTALL_RPATH "${_origin}/${_bin_to_lib}")
endif()
