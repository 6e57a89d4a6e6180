# SPDX-License-Identifier: MIT
"""The images detect accepts, converts or rejects, with Tracker.detect
checked the same way."""
import numpy as np
import pytest

import mivoraface
from conftest import assert_same_faces


def detectors():
    tracker = mivoraface.Tracker()
    return [("detect", mivoraface.detect),
            ("Tracker.detect", lambda image: tracker.detect(image))]


@pytest.mark.parametrize("name, detect", detectors())
@pytest.mark.parametrize("image, error, words", [
    (None, TypeError, "numpy array"),
    ([[[0, 0, 0]]], TypeError, "numpy array"),
    (b"\0" * 300, TypeError, "numpy array"),
    (np.zeros((32, 32, 3), np.float32), TypeError, "uint8"),
    (np.zeros((32, 32, 3), np.uint16), TypeError, "uint8"),
    (np.zeros((32, 32, 3), np.int8), TypeError, "uint8"),
    (np.zeros((32, 32, 3), bool), TypeError, "uint8"),
    (np.uint8(7), TypeError, "numpy array"),
    (np.array(7, np.uint8), ValueError, "shape ()"),
    (np.zeros(96, np.uint8), ValueError, "shape (96,)"),
    (np.zeros((32, 32, 5), np.uint8), ValueError, "shape (32, 32, 5)"),
    (np.zeros((32, 32, 2), np.uint8), ValueError, "shape (32, 32, 2)"),
    (np.zeros((2, 32, 32, 3), np.uint8), ValueError, "shape (2, 32, 32, 3)"),
    (np.zeros((0, 32, 3), np.uint8), ValueError, "empty"),
    (np.zeros((32, 0), np.uint8), ValueError, "empty"),
    (np.zeros((1, 16385), np.uint8), ValueError, "16384"),
    (np.zeros((16385, 1, 3), np.uint8), ValueError, "16384"),
])
def test_bad_images_are_rejected(name, detect, image, error, words):
    with pytest.raises(error) as raised:
        detect(image)
    assert words in str(raised.value)


@pytest.mark.parametrize("shape", [(1, 16384), (16384, 1, 3)])
def test_largest_side_is_accepted(shape):
    assert mivoraface.detect(np.zeros(shape, np.uint8)) == []


@pytest.fixture(scope="module")
def bgr_answer(astronaut, clib):
    answer = clib.detect(astronaut)
    assert len(answer) == 1
    return answer


def alpha(image):
    # Alpha that would change the answer if it were read as a colour.
    rng = np.random.default_rng(1)
    values = rng.integers(0, 256, image.shape[:2], dtype=np.uint8)
    return np.dstack([image, values])


@pytest.mark.parametrize("convert", [
    pytest.param(alpha, id="bgra"),
    pytest.param(np.asfortranarray, id="fortran-order"),
    pytest.param(lambda image: image[:, :, ::-1][:, :, ::-1],
                 id="negative-strides"),
    pytest.param(lambda image: np.repeat(image, 2, axis=1)[:, ::2],
                 id="every-other-column"),
    pytest.param(lambda image: alpha(image)[:, :, :3], id="bgr-view-of-bgra"),
])
def test_converted_images_give_the_bgr_answer(astronaut, bgr_answer,
                                              convert):
    image = convert(astronaut)
    assert np.array_equal(image[:, :, :3], astronaut)
    assert_same_faces(mivoraface.detect(image), bgr_answer)
    with mivoraface.Tracker() as tracker:
        assert_same_faces(tracker.detect(image, video=False), bgr_answer)


def test_read_only_image_is_accepted(astronaut, bgr_answer):
    image = astronaut.copy()
    image.setflags(write=False)
    assert_same_faces(mivoraface.detect(image), bgr_answer)


@pytest.mark.parametrize("shape", ["HxW", "HxWx1"])
def test_gray_images_give_the_answer_of_gray_replicated(astronaut, clib,
                                                        shape):
    gray = (astronaut.astype(np.uint16).sum(axis=2) // 3).astype(np.uint8)
    replicated = np.ascontiguousarray(np.dstack([gray] * 3))
    answer = clib.detect(replicated)
    assert answer
    image = gray if shape == "HxW" else gray[:, :, np.newaxis]
    assert_same_faces(mivoraface.detect(image), answer)
    # A non-contiguous gray view too.
    wide = np.repeat(gray, 2, axis=1)[:, ::2]
    assert_same_faces(mivoraface.detect(wide), answer)


def test_input_image_is_left_unchanged(astronaut):
    image = alpha(astronaut)
    before = image.copy()
    mivoraface.detect(image)
    assert np.array_equal(image, before)
