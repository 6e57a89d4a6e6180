# Installation: the demo, the library with its header, a CMake package
# (find_package(MivoraFace), target MivoraFace::mivoraface), a pkg-config
# file (mivoraface.pc), and a Debian package through CPack.
include(CMakePackageConfigHelpers)

set(MIVORA_FACE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MivoraFace)

install(TARGETS landmark_demo mivora_bench RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS mivoraface EXPORT MivoraFaceTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/mivora_face.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${MIVORA_FACE_PACKED_MODELS} DESTINATION ${MIVORA_FACE_DATA_DIR})

install(EXPORT MivoraFaceTargets NAMESPACE MivoraFace:: DESTINATION ${MIVORA_FACE_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MivoraFaceConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MivoraFaceConfig.cmake INSTALL_DESTINATION ${MIVORA_FACE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MivoraFaceConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MivoraFaceConfig.cmake ${PROJECT_BINARY_DIR}/MivoraFaceConfigVersion.cmake
  DESTINATION ${MIVORA_FACE_CMAKE_DIR})

# pkg-config paths relative to the .pc file, so a moved install still works.
file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/mivoraface.pc.in ${PROJECT_BINARY_DIR}/mivoraface.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mivoraface.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME landmark-demo)
set(CPACK_PACKAGE_VENDOR "landmark_demo developers")
set(CPACK_PACKAGE_CONTACT "landmark_demo developers <dev@landmark-demo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# Debian 12's runtime packages of what the library and the demo link.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libgcc-s1, libopencv-core406, libopencv-imgproc406, libopencv-imgcodecs406, libopencv-videoio406, libopencv-highgui406, libdlib19.1, libdlib-data")
# A shlibs file and the ldconfig trigger for the library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
