# SPDX-License-Identifier: MIT
# Installation: the demo, the library with its header, a CMake package
# (find_package(MivoraFace), target MivoraFace::mivoraface), a pkg-config
# file (mivoraface.pc), the Python module, manual pages, and Debian packages
# through CPack, one per component:
#   library      libmivoraface1      the shared library and its models
#   development  libmivoraface-dev   header, .so link, CMake and pkg-config files
#   demo         landmark-demo       landmark_demo and mivora_bench
#   python       python3-mivoraface  the Python module mivoraface
#   gstreamer    gstreamer1.0-mivoraface  the GStreamer element (when built)
include(CMakePackageConfigHelpers)

set(MIVORA_FACE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MivoraFace)
# Debian's python3 searches /usr/lib/python3/dist-packages for modules that
# are not tied to one Python version; other prefixes need PYTHONPATH.
set(MIVORA_FACE_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Where the Python module is installed, relative to the prefix")

install(TARGETS landmark_demo mivora_bench RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT demo)
# The programs find the library through a run path relative to themselves,
# except in /usr, where the library is on the loader's own path and Debian
# wants no run path.
install(CODE "set(mivora_face_bindir \"${CMAKE_INSTALL_BINDIR}\")" COMPONENT demo)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    foreach(program landmark_demo mivora_bench)
      file(RPATH_REMOVE FILE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${mivora_face_bindir}/${program}")
    endforeach()
  endif()
]] COMPONENT demo)

install(TARGETS mivoraface EXPORT MivoraFaceTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${MIVORA_FACE_PACKED_MODELS} ${MIVORA_FACE_CNN_PACKED} DESTINATION ${MIVORA_FACE_DATA_DIR}
  COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/include/mivora_face.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development)

install(EXPORT MivoraFaceTargets NAMESPACE MivoraFace:: DESTINATION ${MIVORA_FACE_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MivoraFaceConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MivoraFaceConfig.cmake INSTALL_DESTINATION ${MIVORA_FACE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MivoraFaceConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MivoraFaceConfig.cmake ${PROJECT_BINARY_DIR}/MivoraFaceConfigVersion.cmake
  DESTINATION ${MIVORA_FACE_CMAKE_DIR} COMPONENT development)

# pkg-config paths relative to the .pc file, so a moved install still works.
file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/mivoraface.pc.in ${PROJECT_BINARY_DIR}/mivoraface.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mivoraface.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/mivoraface DESTINATION ${MIVORA_FACE_PYTHON_DIR}
  COMPONENT python FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

# The GStreamer plugin goes where the system's GStreamer looks for plugins
# (Debian: lib/<multiarch>/gstreamer-1.0 under the prefix); for another
# prefix, put that folder in GST_PLUGIN_PATH.
if(TARGET gstmivoraface)
  pkg_get_variable(gst_system_plugins_dir gstreamer-1.0 pluginsdir)
  string(REGEX REPLACE "^/usr/" "" gst_plugins_dir "${gst_system_plugins_dir}")
  if(gst_plugins_dir STREQUAL "" OR IS_ABSOLUTE "${gst_plugins_dir}")
    set(gst_plugins_dir ${CMAKE_INSTALL_LIBDIR}/gstreamer-1.0)
  endif()
  set(MIVORA_FACE_GST_PLUGIN_DIR ${gst_plugins_dir} CACHE STRING
    "Where the GStreamer plugin is installed, relative to the prefix")
  file(RELATIVE_PATH plugin_to_lib ${CMAKE_INSTALL_PREFIX}/${MIVORA_FACE_GST_PLUGIN_DIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(gstmivoraface PROPERTIES INSTALL_RPATH "$ORIGIN/${plugin_to_lib}")
  install(TARGETS gstmivoraface LIBRARY DESTINATION ${MIVORA_FACE_GST_PLUGIN_DIR} COMPONENT gstreamer)
  install(CODE "set(mivora_face_gst_plugin \"${MIVORA_FACE_GST_PLUGIN_DIR}/libgstmivoraface.so\")"
    COMPONENT gstreamer)
  install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      file(RPATH_REMOVE FILE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${mivora_face_gst_plugin}")
    endif()
  ]] COMPONENT gstreamer)
endif()

# Manual pages and the changelog, compressed as Debian wants them (gzip -9n:
# smallest, and no time stamp, so that rebuilds give identical files).
set(debian_docs_dir ${PROJECT_BINARY_DIR}/debian_docs)
set(debian_docs "")
foreach(page landmark_demo mivora_bench)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${debian_docs_dir}/${page}.1 @ONLY)
  list(APPEND debian_docs ${debian_docs_dir}/${page}.1.gz)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${debian_docs_dir}/changelog COPYONLY)
list(APPEND debian_docs ${debian_docs_dir}/changelog.gz)
foreach(compressed ${debian_docs})
  string(REGEX REPLACE "\\.gz$" "" plain ${compressed})
  add_custom_command(OUTPUT ${compressed}
    COMMAND gzip -9nc ${plain} > ${compressed}
    DEPENDS ${plain})
endforeach()
add_custom_target(debian_docs ALL DEPENDS ${debian_docs})
install(FILES ${debian_docs_dir}/landmark_demo.1.gz ${debian_docs_dir}/mivora_bench.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT demo)

# Each package's copyright and changelog, in /usr/share/doc/<package>.
set(mivora_face_components library development demo python)
set(mivora_face_package_names libmivoraface1 libmivoraface-dev landmark-demo python3-mivoraface)
if(TARGET gstmivoraface)
  list(APPEND mivora_face_components gstreamer)
  list(APPEND mivora_face_package_names gstreamer1.0-mivoraface)
endif()
foreach(component package IN ZIP_LISTS mivora_face_components mivora_face_package_names)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${debian_docs_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endforeach()

# cpack -G DEB in the build folder: the four packages.
set(CPACK_PACKAGE_NAME landmark-demo)
set(CPACK_PACKAGE_VENDOR "landmark_demo developers")
set(CPACK_PACKAGE_CONTACT "landmark_demo developers <dev@landmark-demo.invalid>")
# Empty: each package's description has its own summary line, which CPack
# would otherwise push down under this one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${mivora_face_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE landmark-demo)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends from the libraries the binaries link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libmivoraface.so.1 here while the demo is packed; the
# dependency on libmivoraface1 is written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# A shlibs file: programs built against this version need at least it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# landmark-demo 1.0.0 held everything; these take its files over.
set(mivora_face_split_from "landmark-demo (<< 1.1.0)")
set(mivora_face_needs_library "libmivoraface1 (>= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_BREAKS ${mivora_face_split_from})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_REPLACES ${mivora_face_split_from})
# ldconfig runs through its trigger, not from maintainer scripts.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/libmivoraface1/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/ldconfig_trigger_only.cmake)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "face detection and 68-point facial landmarks (C library)
MivoraFace finds frontal human faces in 8-bit images (BGR, RGB, gray and
the YUV formats of cameras, read in place with their row strides) and gives
the 68 landmark points of each face (jaw line, brows, nose, eyes, mouth; the
iBUG 300-W layout). It is built on dlib's HOG face detector and dlib's shape
predictor, and follows faces from frame to frame in video mode.

This package holds the shared library and its models: dlib's 68-point
landmark model in a compact form (7.4 MB instead of 66) that loads in
milliseconds, and dlib's frontal face detector.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libmivoraface1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_BREAKS ${mivora_face_split_from})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES ${mivora_face_split_from})
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "face detection and 68-point facial landmarks (development files)
MivoraFace finds frontal human faces in 8-bit BGR images and gives the 68
landmark points of each face, on dlib's face detector and shape predictor.

This package holds the C header mivora_face.h, the libmivoraface.so link,
the CMake package (find_package(MivoraFace), target MivoraFace::mivoraface)
and the pkg-config file mivoraface.pc.")

set(CPACK_DEBIAN_DEMO_PACKAGE_SECTION science)
set(CPACK_DEBIAN_DEMO_PACKAGE_DEPENDS ${mivora_face_needs_library})
set(CPACK_COMPONENT_DEMO_DESCRIPTION "live 68-point face landmarks from a camera
landmark_demo opens camera 1, finds the face in every frame with the
MivoraFace library, draws its 68 landmark points in a window and prints how
long each library call took.

mivora_bench times the library's calls on video files and photos against the
plain dlib pipeline, and makes test clips from photos.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# The module only loads the library with ctypes: no binary of its own.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy, ${mivora_face_needs_library}")
# OpenCV reads photos for the command line and the usual examples.
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-opencv)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/python3-mivoraface/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/python3-mivoraface/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "face detection and 68-point facial landmarks (Python 3)
MivoraFace finds frontal human faces in 8-bit BGR images and gives the 68
landmark points of each face, on dlib's face detector and shape predictor.

This package holds the Python 3 module mivoraface, a thin layer over the C
library: mivoraface.detect(image) takes a numpy image as cv2.imread gives it
and returns the faces with their boxes and landmarks as numpy arrays;
python3 -m mivoraface prints or draws the faces of photos.")
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS ${mivora_face_needs_library})
set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION "GStreamer element for face tracking and 68-point landmarks
The element mivoraface finds and follows the faces in raw video with the
MivoraFace library, one tracker per stream. For each frame it attaches a
region-of-interest meta of type \"face\" per face (box, confidence and the
68 landmark points), posts an element message with the faces as GStreamer's
facedetect element does, and draws the points as red dots (property draw).
It takes BGR, RGB, BGRA, RGBA, BGRx, RGBx, GRAY8, NV12, NV21, I420, YUY2
and UYVY frames in place.")
include(CPack)
