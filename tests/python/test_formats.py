# SPDX-License-Identifier: MIT
"""RGB and RGBA arrays through format=, arrays read in place without a
copy, and regions of larger frames."""
import tracemalloc

import numpy as np
import pytest

import mivoraface
from conftest import clip


def points_apart(faces, expected):
    """The largest distance between corresponding points of two answers."""
    assert len(faces) == len(expected) and faces
    return max(float(np.abs(a.landmarks - b.landmarks).max())
               for a, b in zip(faces, expected))


@pytest.mark.parametrize("video", [False, True])
def test_rgb_and_rgba_arrays_give_the_bgr_points(astronaut, video):
    rgb = np.ascontiguousarray(astronaut[:, :, ::-1])
    alpha = np.random.default_rng(3).integers(
        0, 256, astronaut.shape[:2], dtype=np.uint8)
    rgba = np.dstack([rgb, alpha])
    frames = 3 if video else 1  # video mode may take three frames to find it
    with mivoraface.Tracker() as bgr_tracker, \
            mivoraface.Tracker() as rgb_tracker, \
            mivoraface.Tracker() as rgba_tracker:
        for _ in range(frames):
            expected = bgr_tracker.detect(astronaut, video=video)
            from_rgb = rgb_tracker.detect(rgb, video=video, format="RGB")
            from_rgba = rgba_tracker.detect(rgba, video=video, format="RGBA")
        assert points_apart(from_rgb, expected) <= 1
        assert points_apart(from_rgba, expected) <= 1
    # The same array read as BGR is another picture: red and blue swapped.
    if not video:
        swapped = mivoraface.detect(rgb)
        assert ([face.confidence for face in swapped]
                != [face.confidence for face in expected])


@pytest.mark.parametrize("image, format, words", [
    (np.zeros((8, 8, 3), np.uint8), "YUV", "format must be one of"),
    (np.zeros((8, 8, 3), np.uint8), "rgb", "format must be one of"),
    (np.zeros((8, 8, 3), np.uint8), "RGBA", "needs 4 channel"),
    (np.zeros((8, 8, 4), np.uint8), "RGB", "needs 3 channel"),
    (np.zeros((8, 8), np.uint8), "BGR", "needs 3 channel"),
])
def test_format_must_name_the_arrays_layout(image, format, words):
    with pytest.raises(ValueError) as raised:
        mivoraface.detect(image, format=format)
    assert words in str(raised.value)
    with mivoraface.Tracker() as tracker, pytest.raises(ValueError):
        tracker.detect(image, format=format)


def peak_numpy_bytes(call):
    """The most memory numpy (and Python) allocated at once during call."""
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def big_frame():
    # 12 MB of BGR: a copy of it stands out from everything else allocated.
    frame = np.full((2000, 2000, 3), 90, np.uint8)
    frame[100:100 + 512, 300:300 + 512] = 0
    return frame


def regions(frame):
    bgra = np.dstack([frame, frame[:, :, 0]])
    gray = np.ascontiguousarray(frame[:, :, 1])
    return {
        "BGR": (frame, None),
        "BGR region": (frame[5:1900, 7:1990], None),
        "BGRA": (bgra, None),
        "BGR view of BGRA": (bgra[:, :, :3], None),
        "RGB": (frame, "RGB"),
        "RGBA region": (bgra[3:, 1:], "RGBA"),
        "gray": (gray, None),
        "gray region": (gray[10:, 10:1999], None),
        "gray H x W x 1": (gray[:, :, np.newaxis], None),
    }


@pytest.mark.parametrize("name", list(regions(np.zeros((4, 4, 3), np.uint8))))
def test_describable_arrays_are_not_copied(name):
    image, format = regions(big_frame())[name]
    peak = peak_numpy_bytes(lambda: mivoraface.detect(image, format=format))
    assert peak < image.nbytes // 8
    with mivoraface.Tracker() as tracker:
        peak = peak_numpy_bytes(lambda: tracker.detect(image, format=format))
        assert peak < image.nbytes // 8


@pytest.mark.parametrize("convert", [
    pytest.param(lambda image: image[::-1], id="negative-row-stride"),
    pytest.param(lambda image: image[:, :, ::-1], id="negative-channels"),
    pytest.param(np.asfortranarray, id="fortran-order"),
    pytest.param(lambda image: image[:, ::2], id="every-other-column"),
])
def test_undescribable_arrays_are_copied_once(convert):
    image = convert(big_frame())
    peak = peak_numpy_bytes(lambda: mivoraface.detect(image))
    assert image.nbytes <= peak < 2 * image.nbytes


def test_region_of_a_larger_frame_gives_points_in_the_region(astronaut):
    frame = np.full((900, 1100, 3), 90, np.uint8)
    frame[150:150 + 512, 230:230 + 512] = astronaut
    region = frame[100:800, 200:1000]
    expected = mivoraface.detect(np.ascontiguousarray(region))
    assert expected
    found = mivoraface.detect(region)
    assert points_apart(found, expected) <= 1
    # The face lies where the photo was put, less the region's corner.
    x, y, width, height = found[0].box
    assert 30 + 140 - 20 < x + width / 2 < 30 + 290 + 20
    # Video mode: the regions of a moving clip, as their packed copies.
    with mivoraface.Tracker() as in_place, mivoraface.Tracker() as packed:
        for frame in clip(astronaut, 4, (3, 2)):
            region = frame[10:470, 10:630]
            found = in_place.detect(region)
            expected = packed.detect(np.ascontiguousarray(region))
        assert points_apart(found, expected) <= 1
