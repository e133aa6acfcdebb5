# The installed tree besides the library, its header and the program (whose rules stand with their
# targets): the bundled hands under share/kelto_hand, which is then a resource root for kx_sdk_create
# and holds the system configurations the program takes as --config, and the files through which CMake
# (find_package(kelto_hand CONFIG)) and pkg-config (kelto_hand.pc) find the library.
# The installed binaries keep the install rpath to the Pinocchio and MuJoCo wheels of the project's
# Python environment (cmake/KeltoDependencies.cmake), so an installed tree uses that environment.
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
