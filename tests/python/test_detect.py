# SPDX-License-Identifier: MIT
"""Still photos: the module's answers against the C API's, the library's
version, and how failures of the library reach Python."""
import os
import pathlib
import re
import shutil

import numpy as np
import pytest

import mivoraface
from conftest import REPO, assert_same_faces, read_photo, run_python


def test_face_on_photo_has_the_c_api_points(astronaut, clib):
    faces = mivoraface.detect(astronaut)
    assert len(faces) == 1
    assert_same_faces(faces, clib.detect(astronaut))
    face = faces[0]
    assert face.landmarks.shape == (68, 2)
    assert face.landmarks.dtype == np.float32
    x, y, width, height = face.box
    assert all(isinstance(value, float) for value in face.box)
    assert (face.box.x, face.box.width) == (x, width)
    assert width > 50 and height > 50
    assert face.confidence > 0
    assert face.angle == 0
    # The points lie on the face: about the box, in pixels of the photo.
    inside = ((face.landmarks[:, 0] > x - width * 0.25)
              & (face.landmarks[:, 0] < x + width * 1.25)
              & (face.landmarks[:, 1] > y - height * 0.25)
              & (face.landmarks[:, 1] < y + height * 1.25))
    assert inside.all()


@pytest.mark.parametrize("name", ["coffee.png", "chelsea.png"])
def test_no_face_on_face_free_photos(name):
    assert mivoraface.detect(read_photo(name)) == []
    assert mivoraface.detect(read_photo(name), video=True) == []


def test_several_faces_come_largest_first(astronaut, clib):
    # Two copies of the face, the second twice as large.
    face = astronaut[40:380, 90:410]
    large = np.repeat(np.repeat(face, 2, axis=0), 2, axis=1)
    canvas = np.full((large.shape[0] + 20, large.shape[1] + face.shape[1]
                      + 40, 3), 200, np.uint8)
    canvas[10:10 + face.shape[0], 10:10 + face.shape[1]] = face
    canvas[10:10 + large.shape[0], face.shape[1] + 30:-10] = large
    faces = mivoraface.detect(canvas)
    assert len(faces) == 2
    assert faces[0].box.width > faces[1].box.width * 1.5
    assert_same_faces(faces, clib.detect(canvas))


def test_version_is_the_librarys_and_the_headers(clib):
    assert mivoraface.__version__ == clib.lib.MivoraFaceVersion().decode()
    header = (REPO / "include" / "mivora_face.h").read_text()
    declared = re.search(r'#define MIVORA_FACE_VERSION "([0-9.]+)"', header)
    assert mivoraface.__version__ == declared.group(1)


def test_library_under_test_is_the_expected_file():
    expected = os.environ.get("MIVORA_FACE_TEST_LIBRARY")
    if not expected:
        pytest.skip("MIVORA_FACE_TEST_LIBRARY not set (CTest sets it)")
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps
                  if "libmivoraface.so" in line}
    assert loaded == {os.path.realpath(expected)}


@pytest.mark.parametrize("code, name", [
    (-1, "MIVORA_FACE_ERROR_INVALID_ARGUMENT"),
    (-2, "MIVORA_FACE_ERROR_MODEL_UNAVAILABLE"),
    (-3, "MIVORA_FACE_ERROR_NO_DETECTION"),
    (-4, "MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE"),
    (-5, "MIVORA_FACE_ERROR_INTERNAL"),
    (-6, "MIVORA_FACE_ERROR_TRACKER_BUSY"),
])
def test_error_names_the_code_and_the_librarys_text(code, name, clib):
    error = mivoraface.MivoraFaceError(code)
    text = clib.lib.MivoraFaceErrorString(code).decode()
    assert text and text != "unknown error"
    assert error.code == code
    assert error.text == text
    assert str(code) in str(error) and name in str(error)
    assert text in str(error)
    assert isinstance(error, RuntimeError)


def test_missing_model_raises_an_error_that_says_how_to_fix_it():
    script = (
        "import numpy, mivoraface\n"
        "try:\n"
        "    mivoraface.detect(numpy.zeros((64, 64, 3), numpy.uint8))\n"
        "except mivoraface.ModelUnavailableError as error:\n"
        "    assert isinstance(error, mivoraface.MivoraFaceError)\n"
        "    print(error.code)\n"
        "    print(error)\n")
    result = run_python(["-c", script], {
        "MIVORA_FACE_LANDMARK_MODEL": "/nonexistent/landmarks.dat"})
    assert result.returncode == 0, result.stderr
    code, message = result.stdout.splitlines()
    assert code == "-2"
    assert "MIVORA_FACE_ERROR_MODEL_UNAVAILABLE" in message
    for fix in ("libmivoraface1", "libdlib-data",
                "MIVORA_FACE_LANDMARK_MODEL"):
        assert fix in message


def loaded_library_path():
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps
                    if "libmivoraface.so" in line)


# Prints the file the module loaded.
SHOW_LIBRARY = (
    "import mivoraface\n"
    "with open('/proc/self/maps') as maps:\n"
    "    print({line.split()[-1] for line in maps\n"
    "           if 'libmivoraface.so' in line}.pop())\n")


def test_library_is_loaded_by_its_soname(tmp_path):
    # A folder with the soname only, as the runtime package has it.
    (tmp_path / "libmivoraface.so.1").symlink_to(loaded_library_path())
    result = run_python(["-c", SHOW_LIBRARY], {
        "LD_LIBRARY_PATH": str(tmp_path), "MIVORA_FACE_LIBRARY": None})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == loaded_library_path()


def test_library_path_from_the_environment(tmp_path):
    copy = tmp_path / "copy-of-libmivoraface.so.1"
    copy.write_bytes(open(loaded_library_path(), "rb").read())
    result = run_python(["-c", SHOW_LIBRARY], {
        "MIVORA_FACE_LIBRARY": str(copy), "LD_LIBRARY_PATH": None})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(copy)

    missing = run_python(["-c", SHOW_LIBRARY], {
        "MIVORA_FACE_LIBRARY": "/nonexistent/libmivoraface.so.1"})
    assert missing.returncode != 0
    message = missing.stderr.strip().splitlines()[-1]
    assert message.startswith("ImportError: mivoraface: cannot load")
    assert "libmivoraface1" in message and "MIVORA_FACE_LIBRARY" in message


NETWORKS = ("facemesh-detection-full.mivora", "blazeface-front.mivora")


def data_beside_library():
    return pathlib.Path(loaded_library_path()).parent.parent / "share" / \
        "mivoraface"


def run_library_copy(tmp_path, script, leave_out=()):
    """Runs script on a copy of the library in tmp_path/lib beside a copy
    of its data in tmp_path/share/mivoraface, without the files named in
    leave_out."""
    (tmp_path / "lib").mkdir(exist_ok=True)
    copy = tmp_path / "lib" / "libmivoraface.so.1"
    copy.write_bytes(pathlib.Path(loaded_library_path()).read_bytes())
    if not (tmp_path / "share").exists():
        shutil.copytree(data_beside_library(),
                        tmp_path / "share" / "mivoraface",
                        ignore=shutil.ignore_patterns(*leave_out))
    return run_python(["-c", script], {
        "MIVORA_FACE_LIBRARY": str(copy), "LD_LIBRARY_PATH": None,
        "MIVORA_FACE_LANDMARK_MODEL": None})


def test_a_damaged_face_network_is_reported_like_a_damaged_model(tmp_path):
    """A copy of the library beside a copy of its data, with the search
    network cut short: the first detection, still or video, reports it,
    once, and every detection fails."""
    if not (data_beside_library() / NETWORKS[0]).is_file():
        pytest.skip("built without the face networks")
    shutil.copytree(data_beside_library(), tmp_path / "share" / "mivoraface")
    damaged = tmp_path / "share" / "mivoraface" / NETWORKS[0]
    damaged.write_bytes(damaged.read_bytes()[:5000])
    result = run_library_copy(tmp_path, (
        "import numpy, mivoraface\n"
        "frame = numpy.zeros((120, 160, 3), numpy.uint8)\n"
        "for video in (False, True, False):\n"
        "    try:\n"
        "        print(len(mivoraface.detect(frame, video=video)))\n"
        "    except mivoraface.ModelUnavailableError as error:\n"
        "        print(error.code)\n"
        "        assert 'face network' in str(error), str(error)\n"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["-2", "-2", "-2"]
    lines = [line for line in result.stderr.splitlines()
             if line.startswith("mivora_face:")]
    assert len(lines) == 1, result.stderr
    assert "face detector network" in lines[0] and str(damaged) in lines[0]


def test_without_the_face_networks_video_mode_searches_with_hog(
        tmp_path, astronaut):
    """A copy of the library beside its data without the network files (a
    build without npm): still mode gives HOG's face, and video mode still
    finds and follows the frontal face, with HOG's search."""
    numpy_file = tmp_path / "astronaut.npy"
    np.save(numpy_file, astronaut)
    result = run_library_copy(tmp_path, (
        "import numpy, mivoraface\n"
        f"photo = numpy.load({str(numpy_file)!r})\n"
        "still = mivoraface.detect(photo)\n"
        "print(len(still), still[0].angle)\n"
        "print(*(len(mivoraface.detect(photo, video=True))"
        " for _ in range(6)))\n"), leave_out=NETWORKS)
    assert result.returncode == 0, result.stderr
    still, video = result.stdout.splitlines()
    assert still.split() == ["1", "0.0"], still
    counts = video.split()
    assert counts[3:] == ["1", "1", "1"], counts
    assert "mivora_face:" not in result.stderr
