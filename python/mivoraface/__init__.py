# SPDX-License-Identifier: MIT
"""MivoraFace from Python: frontal faces and their 68 landmark points.

A thin layer over the C library libmivoraface.so.1:

    import cv2
    import mivoraface

    for face in mivoraface.detect(cv2.imread("photo.png")):
        print(face.id, face.box, face.confidence)
        print(face.landmarks)  # (68, 2) float32, pixel coordinates

Images are numpy uint8 arrays: BGR (H x W x 3, as cv2.imread gives), gray
(H x W or H x W x 1) or BGRA (H x W x 4, alpha ignored), any strides;
format="RGB" or "RGBA" for arrays in red-green-blue order. They are read
where they are, without a copy, unless their layout is one the C library
cannot take (negative strides, pixels not packed, rows overlapping).

detect(image, video=True) follows faces from one call to the next, as the C
library does: the state is kept per calling thread, so every Python thread
follows its own camera. A Tracker keeps that state per object instead, one
per camera. In video mode a face keeps its id (face.id) for as long as it
is followed; face numbers (list positions) change when an earlier face
leaves. Library failures raise MivoraFaceError (ModelUnavailableError when
the landmark model or a face network cannot be read).
"""
import ctypes
import os
import sys
import threading
import weakref
from typing import NamedTuple

import numpy as np

from . import _clib

__all__ = [
    "Box",
    "Face",
    "MivoraFaceError",
    "ModelUnavailableError",
    "Tracker",
    "detect",
    "set_min_face_size",
    "set_score_threshold",
    "LANDMARK_POINT_COUNT",
    "MAX_IMAGE_SIDE",
]

def _run_as_program():
    """True when this package is being started as python3 -m mivoraface."""
    argv = getattr(sys, "orig_argv", [])
    for index, argument in enumerate(argv[1:], 1):
        if argument == "-m":
            return argv[index + 1:index + 2] == ["mivoraface"]
        if argument.startswith("-m"):
            return argument[2:] == "mivoraface"
    return False


try:
    _lib = _clib.load()
except ImportError as _error:
    if not _run_as_program():
        raise
    # The command line says what is wrong in one line, not a traceback.
    sys.exit(f"python3 -m mivoraface: {_error}")

__version__ = _lib.MivoraFaceVersion().decode("ascii")

LANDMARK_POINT_COUNT = _clib.LANDMARK_POINT_COUNT
MAX_IMAGE_SIDE = _clib.MAX_IMAGE_SIDE


class MivoraFaceError(RuntimeError):
    """A MivoraFace call failed; code is the library's (negative) code."""

    def __init__(self, code, hint=""):
        self.code = code
        self.name = _clib.ERROR_NAMES.get(code, "unknown error code")
        self.text = _lib.MivoraFaceErrorString(code).decode(
            "utf-8", "replace")
        message = f"MivoraFace error {code} ({self.name}): {self.text}"
        super().__init__(message + (f"; {hint}" if hint else ""))


class ModelUnavailableError(MivoraFaceError):
    """A model file (the landmark model, or a face network installed beside
    it) is missing, unreadable or corrupt; the library's line on stderr
    names it."""

    def __init__(self, code=_clib.ERROR_MODEL_UNAVAILABLE):
        super().__init__(
            code,
            "install the Debian package libmivoraface1 (its packed model; "
            "reinstall it when its face networks are damaged) "
            "or libdlib-data (dlib's model, "
            "/usr/share/dlib/shape_predictor_68_face_landmarks.dat), or set "
            "MIVORA_FACE_LANDMARK_MODEL to a 68-point model file")


def _error(code):
    if code == _clib.ERROR_MODEL_UNAVAILABLE:
        return ModelUnavailableError(code)
    return MivoraFaceError(code)


class Box(NamedTuple):
    """A face's box in pixels, before turning by angle."""

    x: float
    y: float
    width: float
    height: float


class Face:
    """One face: id, box, angle (degrees, clockwise), confidence, landmarks.

    id is the face's own number: the same on every frame for as long as the
    face is followed, never given again by the same tracker (or thread).
    """

    __slots__ = ("id", "box", "angle", "confidence", "landmarks")

    def __init__(self, box, angle, confidence, landmarks, id=0):
        self.id = id
        self.box = box
        self.angle = angle
        self.confidence = confidence
        self.landmarks = landmarks

    def __repr__(self):
        return (f"Face(id={self.id}, box={tuple(self.box)}, "
                f"angle={self.angle:g}, confidence={self.confidence:g})")


# format argument: (channels, the C format of packed pixels, the C format of
# the first 3 bytes of 4-byte pixels).
_FORMATS = {
    "BGR": (3, _clib.FORMAT_BGR, _clib.FORMAT_BGRX),
    "RGB": (3, _clib.FORMAT_RGB, _clib.FORMAT_RGBX),
    "BGRA": (4, _clib.FORMAT_BGRA, None),
    "RGBA": (4, _clib.FORMAT_RGBA, None),
    "GRAY": (1, _clib.FORMAT_GRAY8, None),
}
_DEFAULT_FORMATS = {1: "GRAY", 3: "BGR", 4: "BGRA"}


def _checked(image, format):
    """image as H x W x C, and its format's name; raises on what the
    library cannot take at all."""
    if not isinstance(image, np.ndarray):
        raise TypeError(
            "image must be a numpy array (as cv2.imread gives), not "
            f"{type(image).__name__}")
    if image.dtype != np.uint8:
        raise TypeError(
            f"image must have dtype uint8 (8 bits per channel), not "
            f"{image.dtype}")
    channels = image.shape[2] if image.ndim == 3 else 1
    if image.ndim not in (2, 3) or channels not in (1, 3, 4):
        raise ValueError(
            "image must be H x W (gray), H x W x 3 (BGR or RGB) or "
            f"H x W x 4 (BGRA or RGBA); got shape {image.shape}")
    if format is None:
        format = _DEFAULT_FORMATS[channels]
    elif format not in _FORMATS:
        raise ValueError(
            f"format must be one of {', '.join(map(repr, _FORMATS))} or "
            f"None, not {format!r}")
    elif _FORMATS[format][0] != channels:
        raise ValueError(
            f"format {format!r} needs {_FORMATS[format][0]} channel(s); "
            f"the image has shape {image.shape}")
    height, width = image.shape[:2]
    if height == 0 or width == 0:
        raise ValueError(f"image is empty (shape {image.shape})")
    if height > MAX_IMAGE_SIDE or width > MAX_IMAGE_SIDE:
        raise ValueError(
            f"image is {width} x {height} pixels; the largest side "
            f"accepted is {MAX_IMAGE_SIDE}")
    if image.ndim == 2:
        image = image[:, :, np.newaxis]
    return image, format


try:
    _byte_bounds = np.byte_bounds
except AttributeError:  # numpy 2
    from numpy.lib.array_utils import byte_bounds as _byte_bounds


def _readable_end(image):
    """One past the last byte of the memory image is a view of, as far as
    numpy knows it."""
    base = image
    while isinstance(base.base, np.ndarray):
        base = base.base
    return _byte_bounds(base)[1]


def _described(image, format):
    """The C description of image (H x W x C) in place, or None when the C
    library cannot describe its layout."""
    height, width, channels = image.shape
    row_stride, pixel_stride, channel_stride = image.strides
    if channels > 1 and channel_stride != 1:
        return None
    _, packed, in_four_bytes = _FORMATS[format]
    if pixel_stride == channels:
        c_format, pixel_bytes = packed, channels
    elif pixel_stride == 4 and in_four_bytes is not None:
        # 3 channels of 4-byte pixels (a view of BGRA): the fourth byte is
        # part of the description, so it must lie in the array's memory.
        c_format, pixel_bytes = in_four_bytes, 4
    else:
        return None
    if row_stride < width * pixel_bytes:
        return None  # negative, or rows overlapping
    start = image.ctypes.data
    extent = row_stride * (height - 1) + width * pixel_bytes
    if start + extent > _readable_end(image):
        return None
    description = _clib.Image()
    description.format = c_format
    description.width = width
    description.height = height
    description.planes[0] = start
    description.strides[0] = row_stride
    return description


def _image(image, format):
    """(C description, the array it describes): image itself, or a packed
    copy when its layout cannot be described."""
    image, format = _checked(image, format)
    description = _described(image, format)
    if description is None:
        image = np.ascontiguousarray(image)
        description = _described(image, format)
    return description, image


def _faces(count, get_box, get_landmarks, get_id):
    faces = []
    box = _clib.FaceBox()
    face_id = ctypes.c_longlong()
    for index in range(count):
        landmarks = np.empty((LANDMARK_POINT_COUNT, 2), np.float32)
        status = get_landmarks(index, landmarks.ctypes.data)
        if status == _clib.OK:
            status = get_box(index, ctypes.byref(box))
        if status == _clib.OK:
            status = get_id(index, ctypes.byref(face_id))
        if status != _clib.OK:
            raise _error(status)
        faces.append(Face(Box(box.x, box.y, box.width, box.height),
                          box.angle, box.confidence, landmarks,
                          face_id.value))
    return faces


def _mode(video):
    return _clib.MODE_VIDEO if video else _clib.MODE_STILL


def detect(image, video=False, format=None):
    """The faces in image, face 0 first.

    image is a uint8 array: H x W x 3 BGR, H x W x 4 BGRA, or H x W (or
    H x W x 1) gray; format="RGB" or "RGBA" for red-green-blue order
    ("BGR", "BGRA" and "GRAY" name the defaults). video=True when
    successive calls get successive frames of one camera: faces are then
    followed from the calling thread's previous frame (each thread keeps
    its own), and listed in the order they were first found, so face 0 is
    the face followed longest. In still mode face 0 is the most prominent
    face. Returns a list of Face, in the image's pixel coordinates.
    """
    description, pixels = _image(image, format)
    # Detection and the per-face calls run on this thread, whose state the
    # C library keeps apart from other threads'. pixels stays referenced
    # until the call returns.
    count = _lib.MivoraFaceDetectImage(ctypes.byref(description),
                                       _mode(video))
    del pixels
    if count < 0:
        raise _error(count)
    return _faces(count, _lib.MivoraGetFaceBoxStd,
                  _lib.MivoraGetFaceLandmark68Std, _lib.MivoraGetFaceIdStd)


def _setting(status, name, value, allowed):
    if status == _clib.ERROR_INVALID_ARGUMENT:
        raise ValueError(f"{name} must be {allowed}, not {value!r}")
    if status < 0:
        raise _error(status)


_MIN_FACE_SIZE_RANGE = f"a whole number from 1 to {_clib.MAX_IMAGE_SIDE}"
_SCORE_THRESHOLD_RANGE = "above 0 and below 1"


def _face_size(pixels):
    if isinstance(pixels, bool) or not isinstance(pixels, int) \
            or not 1 <= pixels <= _clib.MAX_IMAGE_SIDE:
        raise ValueError(
            f"min_face_size must be {_MIN_FACE_SIZE_RANGE}, not {pixels!r}")
    return pixels


def set_min_face_size(pixels):
    """The smallest face the face network looks for (box width in pixels,
    default 20; its boxes of faces of one width scatter, so finds are kept
    down to four fifths of it), for this thread's detect calls; in still mode every face
    the HOG detector finds is kept whatever its size. Above about 45 (at
    640x480) video mode finds faces sooner and at less cost."""
    _setting(_lib.MivoraFaceSetMinFaceSizeStd(_face_size(pixels)),
             "min_face_size", pixels, _MIN_FACE_SIZE_RANGE)


def set_score_threshold(threshold):
    """The face network's score threshold (above 0 and below 1, default
    0.5) for this thread's detect calls: lower finds more hard faces."""
    _setting(_lib.MivoraFaceSetScoreThresholdStd(float(threshold)),
             "score_threshold", threshold, _SCORE_THRESHOLD_RANGE)


_create_tracker = _lib.MivoraFaceTrackerCreate
_destroy_tracker = _lib.MivoraFaceTrackerDestroy

# Every open Tracker, so that a forked child can give each a new lock.
_trackers = weakref.WeakSet()


def _after_fork_in_child():
    # A lock held at fork by a thread the child does not have would never
    # be released; the C library starts such a tracker afresh.
    for tracker in list(_trackers):
        tracker._lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)


class Tracker:
    """Faces of one camera, followed from call to call.

    Use one per camera. Any thread may use it: calls on one tracker take
    turns. A child process forked (os.fork, multiprocessing) while another
    thread was in a call can use the tracker at once; it then starts afresh.
    close() (or leaving a with block) releases it. min_face_size and
    score_threshold are as set_min_face_size and set_score_threshold.
    """

    def __init__(self, min_face_size=None, score_threshold=None):
        self._lock = threading.Lock()
        self._handle = _create_tracker()
        if not self._handle:
            raise MemoryError("MivoraFaceTrackerCreate failed")
        _trackers.add(self)
        if min_face_size is not None:
            self.set_min_face_size(min_face_size)
        if score_threshold is not None:
            self.set_score_threshold(score_threshold)

    def _set(self, function, name, value, allowed):
        with self._lock:
            if self._handle is None:
                raise ValueError(f"set_{name} on a closed Tracker")
            _setting(function(self._handle, value), name, value, allowed)

    def set_min_face_size(self, pixels):
        """As mivoraface.set_min_face_size, for this tracker."""
        self._set(_lib.MivoraFaceTrackerSetMinFaceSize, "min_face_size",
                  _face_size(pixels), _MIN_FACE_SIZE_RANGE)

    def set_score_threshold(self, threshold):
        """As mivoraface.set_score_threshold, for this tracker."""
        self._set(_lib.MivoraFaceTrackerSetScoreThreshold, "score_threshold",
                  float(threshold), _SCORE_THRESHOLD_RANGE)

    def detect(self, image, video=True, format=None):
        """As mivoraface.detect, on this tracker's faces."""
        description, pixels = _image(image, format)
        # Held over the detection and the per-face calls, so that another
        # thread cannot detect in between (the C library would answer
        # MIVORA_FACE_ERROR_TRACKER_BUSY or mix up the faces).
        with self._lock:
            handle = self._handle
            if handle is None:
                raise ValueError("detect on a closed Tracker")
            count = _lib.MivoraFaceTrackerDetectImage(
                handle, ctypes.byref(description), _mode(video))
            del pixels
            if count < 0:
                raise _error(count)
            return _faces(
                count,
                lambda i, box: _lib.MivoraFaceTrackerGetBox(handle, i, box),
                lambda i, points: _lib.MivoraFaceTrackerGetLandmark68(
                    handle, i, points),
                lambda i, face_id: _lib.MivoraFaceTrackerGetId(
                    handle, i, face_id))

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Releases the tracker; later detect calls raise ValueError."""
        lock = getattr(self, "_lock", None)
        if lock is None:  # __init__ did not get that far
            return
        with lock:
            handle, self._handle = self._handle, None
        if handle:
            _destroy_tracker(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        self.close()
