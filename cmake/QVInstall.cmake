# Install rules: the three libraries, their headers flat under include/QVT
# with the umbrella header QVT/QVSubAg.h, a CMake package
# (find_package(QVSubAg) gives QVSubAg::QVSubAg, QVSubAg::QVAgent and
# QVSubAg::QVHost) and the pkg-config file qvsubag.pc. Users have only
# <prefix>/include on their include path and write <QVT/...>.
include(CMakePackageConfigHelpers)

# Installed, each library finds the ones it needs beside itself.
set_target_properties(QVHost QVSubAg QVAgent PROPERTIES INSTALL_RPATH "$ORIGIN")
# Components, one per package: lib (the shared libraries), dev (what
# building against them needs), master and example (the programs).
install(TARGETS QVHost QVSubAg QVAgent EXPORT QVSubAgTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QVT COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/include/QVT/QVSubAg.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QVT COMPONENT dev)

install(EXPORT QVSubAgTargets NAMESPACE QVSubAg:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVSubAg COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QVSubAgConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QVSubAgConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVSubAg)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QVSubAgConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QVSubAgConfig.cmake ${PROJECT_BINARY_DIR}/QVSubAgConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVSubAg COMPONENT dev)

# The prefix is taken relative to where the .pc file lies, so that an install
# moved elsewhere (or made with cmake --install --prefix) still points right.
file(RELATIVE_PATH QV_PC_RELATIVE_PREFIX
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qvsubag.pc.in ${PROJECT_BINARY_DIR}/qvsubag.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qvsubag.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
