# SPDX-License-Identifier: MIT
"""The C library's functions, loaded with ctypes.

The library is loaded by its soname, libmivoraface.so.1, so that the runtime
package libmivoraface1 is enough (the .so link is only in the -dev package).
MIVORA_FACE_LIBRARY, when set and not empty, names another file to load.
"""
import ctypes
import os

SONAME = "libmivoraface.so.1"
LIBRARY_ENVIRONMENT = "MIVORA_FACE_LIBRARY"

OK = 0
ERROR_INVALID_ARGUMENT = -1
ERROR_MODEL_UNAVAILABLE = -2
ERROR_NO_DETECTION = -3
ERROR_FACE_INDEX_OUT_OF_RANGE = -4
ERROR_INTERNAL = -5
ERROR_TRACKER_BUSY = -6

ERROR_NAMES = {
    ERROR_INVALID_ARGUMENT: "MIVORA_FACE_ERROR_INVALID_ARGUMENT",
    ERROR_MODEL_UNAVAILABLE: "MIVORA_FACE_ERROR_MODEL_UNAVAILABLE",
    ERROR_NO_DETECTION: "MIVORA_FACE_ERROR_NO_DETECTION",
    ERROR_FACE_INDEX_OUT_OF_RANGE: "MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE",
    ERROR_INTERNAL: "MIVORA_FACE_ERROR_INTERNAL",
    ERROR_TRACKER_BUSY: "MIVORA_FACE_ERROR_TRACKER_BUSY",
}

# enum MivoraFacePixelFormat (the formats numpy arrays are passed in).
FORMAT_BGR = 0
FORMAT_RGB = 1
FORMAT_BGRA = 2
FORMAT_RGBA = 3
FORMAT_BGRX = 4
FORMAT_RGBX = 5
FORMAT_GRAY8 = 6
MAX_PLANES = 3

MODE_STILL = 0
MODE_VIDEO = 1
MAX_IMAGE_SIDE = 16384
LANDMARK_POINT_COUNT = 68


class FaceBox(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_float),
        ("y", ctypes.c_float),
        ("width", ctypes.c_float),
        ("height", ctypes.c_float),
        ("angle", ctypes.c_float),
        ("confidence", ctypes.c_float),
    ]


class Image(ctypes.Structure):
    """struct MivoraFaceImage."""

    _fields_ = [
        ("format", ctypes.c_int),
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("planes", ctypes.c_void_p * MAX_PLANES),
        ("strides", ctypes.c_ssize_t * MAX_PLANES),
    ]


_c_int = ctypes.c_int
_pointer = ctypes.c_void_p
_box_pointer = ctypes.POINTER(FaceBox)
_id_pointer = ctypes.POINTER(ctypes.c_longlong)

# Every MivoraFace library has this function; a file without it is not one.
_FIRST_FUNCTION = "MivoraFaceDetectStd"
# The version that brought the newest function below.
NEEDED_VERSION = "1.3"
_image_pointer = ctypes.POINTER(Image)

# name: (result type, argument types). Pixels and landmarks are passed as
# plain addresses of numpy buffers.
_SIGNATURES = {
    "MivoraFaceDetectStd": (_c_int, [_pointer, _c_int, _c_int, _c_int]),
    "MivoraGetFaceLandmark68Std": (_c_int, [_c_int, _pointer]),
    "MivoraGetFaceBoxStd": (_c_int, [_c_int, _box_pointer]),
    "MivoraGetFaceIdStd": (_c_int, [_c_int, _id_pointer]),
    "MivoraFaceErrorString": (ctypes.c_char_p, [_c_int]),
    "MivoraFaceVersion": (ctypes.c_char_p, []),
    "MivoraFaceTrackerCreate": (_pointer, []),
    "MivoraFaceTrackerDestroy": (None, [_pointer]),
    "MivoraFaceTrackerDetect": (
        _c_int, [_pointer, _pointer, _c_int, _c_int, _c_int]),
    "MivoraFaceTrackerGetLandmark68": (_c_int, [_pointer, _c_int, _pointer]),
    "MivoraFaceTrackerGetBox": (_c_int, [_pointer, _c_int, _box_pointer]),
    "MivoraFaceTrackerGetId": (_c_int, [_pointer, _c_int, _id_pointer]),
    "MivoraFaceDetectImage": (_c_int, [_image_pointer, _c_int]),
    "MivoraFaceTrackerDetectImage": (
        _c_int, [_pointer, _image_pointer, _c_int]),
    "MivoraFaceSetMinFaceSizeStd": (_c_int, [_c_int]),
    "MivoraFaceSetScoreThresholdStd": (_c_int, [ctypes.c_float]),
    "MivoraFaceTrackerSetMinFaceSize": (_c_int, [_pointer, _c_int]),
    "MivoraFaceTrackerSetScoreThreshold": (
        _c_int, [_pointer, ctypes.c_float]),
}


def load():
    """Returns the loaded library; ImportError says how to get it."""
    path = os.environ.get(LIBRARY_ENVIRONMENT) or SONAME
    try:
        library = ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(
            f"mivoraface: cannot load the MivoraFace library {path} "
            f"({error}); install the Debian package libmivoraface1, or set "
            f"{LIBRARY_ENVIRONMENT} to the library file (or LD_LIBRARY_PATH "
            f"to its folder)") from error
    if not hasattr(library, _FIRST_FUNCTION):
        raise ImportError(
            f"mivoraface: {path} is not the MivoraFace library (it has no "
            f"{_FIRST_FUNCTION}); set {LIBRARY_ENVIRONMENT} to the MivoraFace "
            f"library file, or unset it to load {SONAME}")
    for name, (result, arguments) in _SIGNATURES.items():
        try:
            function = getattr(library, name)
        except AttributeError as error:
            raise ImportError(
                f"mivoraface: {path} has no {name}: the library is older "
                f"than MivoraFace {NEEDED_VERSION}; upgrade libmivoraface1"
            ) from error
        function.restype = result
        function.argtypes = arguments
    return library
