# Install rules: the library, its header, the program and its manual page, a CMake package
# (find_package(fwprune) gives fwprune::fwprune) and a pkg-config file. Paths follow
# GNUInstallDirs, and both package files find the prefix from their own location, so an install
# may be moved or made with `cmake --install build --prefix DIR`.
include(CMakePackageConfigHelpers)

set(fwprune_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/fwprune)

install(TARGETS fwprune EXPORT fwpruneTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/fwprune.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET fwprune_cli)
  install(TARGETS fwprune_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/fwprune.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fwprune)

# What a consumer of the static library must link besides it.
set(fwprune_static_dependencies "")
if(NOT FWPRUNE_BUILD_SHARED)
  set(fwprune_static_dependencies "find_dependency(Threads)")
  if(FWPRUNE_WITH_CUDA)
    string(APPEND fwprune_static_dependencies "\nfind_dependency(CUDAToolkit)")
  endif()
endif()

install(EXPORT fwpruneTargets NAMESPACE fwprune:: DESTINATION ${fwprune_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/fwpruneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/fwpruneConfig.cmake INSTALL_DESTINATION ${fwprune_cmake_dir})
# Before 1.0 a minor version may change the ABI, as the library's SONAME says.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(fwprune_compatibility SameMinorVersion)
else()
  set(fwprune_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/fwpruneConfigVersion.cmake
  COMPATIBILITY ${fwprune_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/fwpruneConfig.cmake
  ${PROJECT_BINARY_DIR}/fwpruneConfigVersion.cmake DESTINATION ${fwprune_cmake_dir})

# pkg-config: the prefix is found relative to the .pc file (pkg-config's ${pcfiledir}).
set(fwprune_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH fwprune_pc_to_prefix "${CMAKE_INSTALL_PREFIX}/${fwprune_pc_dir}"
     "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" fwprune_pc_to_prefix "${fwprune_pc_to_prefix}")
set(fwprune_pc_cflags "")
set(fwprune_pc_libs_private "")
if(NOT FWPRUNE_BUILD_SHARED)
  # A static archive of C++ code: a C program linking it needs the C++ runtime too.
  set(fwprune_pc_cflags " -DFWPRUNE_STATIC")
  set(fwprune_pc_libs_private "-lstdc++ -lm -pthread")
  if(FWPRUNE_WITH_CUDA)
    string(APPEND fwprune_pc_libs_private " -L${CUDAToolkit_LIBRARY_DIR} -lcudart_static -ldl -lrt")
  endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/fwprune.pc.in ${PROJECT_BINARY_DIR}/fwprune.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/fwprune.pc DESTINATION ${fwprune_pc_dir})

# `cmake --build build --target uninstall` removes what the last install put in place.
if(NOT TARGET uninstall)
  add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
            -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake)
endif()
