# SPDX-License-Identifier: MIT
"""Shared fixtures: the test photos, generated clips, and the C library
called directly through ctypes, independently of the mivoraface module, as
the reference its answers must equal."""
import ctypes
import os
import pathlib
import subprocess
import sys
import threading

import cv2
import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DATA = REPO / "tests" / "data"


def read_photo(name):
    image = cv2.imread(str(DATA / name), cv2.IMREAD_COLOR)
    assert image is not None, f"cannot read {name}"
    return image


@pytest.fixture(scope="session")
def astronaut():
    return read_photo("astronaut.png")


def clip(photo, frames, step, start=(20, 10), size=(640, 480)):
    """frames of a face crop of photo moving by step (dx, dy) per frame over
    a plain background."""
    face = photo[60:360, 100:400]
    result = []
    for k in range(frames):
        frame = np.full((size[1], size[0], 3), 90, np.uint8)
        x = start[0] + step[0] * k
        y = start[1] + step[1] * k
        frame[y:y + face.shape[0], x:x + face.shape[1]] = face
        result.append(frame)
    return result


class CLibrary:
    """The C API called directly: the reference for the module."""

    def __init__(self):
        self.lib = ctypes.CDLL("libmivoraface.so.1")
        void_p, c_int = ctypes.c_void_p, ctypes.c_int
        self.lib.MivoraFaceDetectStd.argtypes = [void_p, c_int, c_int, c_int]
        self.lib.MivoraGetFaceLandmark68Std.argtypes = [c_int, void_p]
        self.lib.MivoraGetFaceBoxStd.argtypes = [c_int, void_p]
        self.lib.MivoraFaceErrorString.restype = ctypes.c_char_p
        self.lib.MivoraFaceErrorString.argtypes = [c_int]
        self.lib.MivoraFaceVersion.restype = ctypes.c_char_p
        self.lib.MivoraFaceTrackerCreate.restype = void_p
        self.lib.MivoraFaceTrackerDestroy.argtypes = [void_p]
        self.lib.MivoraFaceTrackerDetect.argtypes = [
            void_p, void_p, c_int, c_int, c_int]
        self.lib.MivoraFaceTrackerGetLandmark68.argtypes = [
            void_p, c_int, void_p]
        self.lib.MivoraFaceTrackerGetBox.argtypes = [void_p, c_int, void_p]

    def detect(self, bgr, mode=0, tracker=None):
        """[(box of 6 floats, (68, 2) landmarks)] for a BGR image."""
        assert bgr.flags.c_contiguous and bgr.ndim == 3
        height, width = bgr.shape[:2]
        if tracker is None:
            count = self.lib.MivoraFaceDetectStd(
                bgr.ctypes.data, width, height, mode)
        else:
            count = self.lib.MivoraFaceTrackerDetect(
                tracker, bgr.ctypes.data, width, height, mode)
        assert count >= 0, f"C detection failed: {count}"
        faces = []
        for index in range(count):
            points = np.zeros(136, np.float32)
            box = (ctypes.c_float * 6)()
            if tracker is None:
                assert self.lib.MivoraGetFaceLandmark68Std(
                    index, points.ctypes.data) == 0
                assert self.lib.MivoraGetFaceBoxStd(index, box) == 0
            else:
                assert self.lib.MivoraFaceTrackerGetLandmark68(
                    tracker, index, points.ctypes.data) == 0
                assert self.lib.MivoraFaceTrackerGetBox(
                    tracker, index, box) == 0
            faces.append((tuple(box), points.reshape(68, 2)))
        return faces

    def video_in_fresh_thread(self, frames):
        """The C answers for frames in video mode, from a new thread (so
        from a state no earlier call touched)."""
        answers = []
        thread = threading.Thread(
            target=lambda: answers.extend(
                self.detect(frame, mode=1) for frame in frames))
        thread.start()
        thread.join()
        return answers

    def video_on_fresh_tracker(self, frames):
        tracker = self.lib.MivoraFaceTrackerCreate()
        try:
            return [self.detect(frame, 1, tracker) for frame in frames]
        finally:
            self.lib.MivoraFaceTrackerDestroy(tracker)


@pytest.fixture(scope="session")
def clib():
    return CLibrary()


def as_tuples(faces):
    """The module's faces in CLibrary.detect's form."""
    return [((*face.box, face.angle, face.confidence), face.landmarks)
            for face in faces]


def assert_same_faces(module_faces, c_faces):
    got = as_tuples(module_faces)
    assert len(got) == len(c_faces)
    for (box, points), (c_box, c_points) in zip(got, c_faces):
        assert box == c_box
        assert np.array_equal(points, c_points)


def run_python(args, env_changes=None, cwd=REPO, timeout=120):
    """Runs this interpreter on args; env_changes maps names to values, or
    to None to remove them."""
    env = dict(os.environ)
    for name, value in (env_changes or {}).items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)
