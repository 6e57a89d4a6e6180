# SPDX-License-Identifier: MIT
"""Video mode and its state: per thread for mivoraface.detect, per object
for Tracker, each checked against the C API run alone on the same frames."""
import gc
import threading

import cv2
import numpy as np
import pytest

import mivoraface
from conftest import as_tuples, assert_same_faces, clip

STEP = (4, 2)


@pytest.fixture(scope="module")
def right(astronaut):
    return clip(astronaut, 24, STEP)


@pytest.fixture(scope="module")
def left(astronaut):
    return clip(astronaut, 24, (-3, 1), start=(300, 40))


def run_in_thread(function, *args):
    result = []
    thread = threading.Thread(target=lambda: result.append(function(*args)))
    thread.start()
    thread.join()
    return result[0]


def run_both(work):
    """work(0) and work(1) on two threads at once."""
    threads = [threading.Thread(target=work, args=(n,)) for n in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def video_answers(frames):
    return [mivoraface.detect(frame, video=True) for frame in frames]


def test_video_mode_follows_the_moving_face(right):
    answers = run_in_thread(video_answers, right)
    # A face coming into view is found within three frames.
    found = next(k for k, faces in enumerate(answers) if faces)
    assert found < 3
    assert all(len(faces) == 1 for faces in answers[found:])
    first = answers[found][0].landmarks.mean(axis=0)
    for k, faces in enumerate(answers[found:]):
        moved = faces[0].landmarks.mean(axis=0) - first
        assert moved == pytest.approx(np.multiply(k, STEP), abs=2.0), k
        # The box goes along: it holds the face's centre in every frame.
        box = faces[0].box
        centre = faces[0].landmarks.mean(axis=0)
        assert box.x < centre[0] < box.x + box.width, k
        assert box.y < centre[1] < box.y + box.height, k


def test_video_mode_gives_the_c_api_answers(right, clib):
    expected = clib.video_in_fresh_thread(right)
    got = run_in_thread(video_answers, right)
    for faces, c_faces in zip(got, expected):
        assert_same_faces(faces, c_faces)
    # Still mode differs on these frames: the mode really reached the C call.
    stills = [mivoraface.detect(frame) for frame in right]
    assert any(not np.array_equal(s[0].landmarks, v[0].landmarks)
               for s, v in zip(stills, got) if v)


def test_threads_detecting_at_once_get_their_own_answers(astronaut, right,
                                                         left, clib):
    flipped = np.ascontiguousarray(astronaut[:, ::-1])
    still_expected = {0: clib.detect(astronaut), 1: clib.detect(flipped)}
    assert still_expected[0][0][1][0, 0] != still_expected[1][0][1][0, 0]
    clips = {0: right, 1: left}
    video_expected = {n: clib.video_in_fresh_thread(clips[n]) for n in clips}
    barrier = threading.Barrier(2)
    failures = []

    def work(n):
        try:
            image = astronaut if n == 0 else flipped
            barrier.wait()
            for _ in range(6):
                assert_same_faces(mivoraface.detect(image), still_expected[n])
            # Each thread follows its own clip: its own video state.
            barrier.wait()
            for frame, expected in zip(clips[n], video_expected[n]):
                assert_same_faces(mivoraface.detect(frame, video=True),
                                  expected)
        except Exception as error:  # reported by the main thread
            barrier.abort()
            failures.append((n, repr(error)))

    run_both(work)
    assert failures == []


def test_trackers_keep_separate_state(right, left, clib):
    expected_right = clib.video_on_fresh_tracker(right)
    expected_left = clib.video_on_fresh_tracker(left)
    expected_thread = clib.video_in_fresh_thread(right)

    def interleaved():
        # Two trackers and this thread's own state, frame by frame in turn.
        answers = ([], [], [])
        with mivoraface.Tracker() as one, mivoraface.Tracker() as two:
            for a, b in zip(right, left):
                answers[0].append(one.detect(a))
                answers[1].append(two.detect(b))
                answers[2].append(mivoraface.detect(a, video=True))
        return answers

    got_right, got_left, got_thread = run_in_thread(interleaved)
    for got, expected in ((got_right, expected_right),
                          (got_left, expected_left),
                          (got_thread, expected_thread)):
        assert len(got) == len(expected)
        for faces, c_faces in zip(got, expected):
            assert_same_faces(faces, c_faces)


def test_tracker_shared_by_threads_answers_each_its_own(astronaut, clib):
    flipped = np.ascontiguousarray(astronaut[:, ::-1])
    expected = [clib.detect(astronaut), clib.detect(flipped)]
    tracker = mivoraface.Tracker()
    barrier = threading.Barrier(2)
    failures = []

    def work(n):
        try:
            barrier.wait()
            for _ in range(6):
                faces = tracker.detect((astronaut, flipped)[n], video=False)
                assert_same_faces(faces, expected[n])
        except Exception as error:  # reported by the main thread
            failures.append((n, repr(error)))

    run_both(work)
    tracker.close()
    assert failures == []


@pytest.fixture
def destroyed(monkeypatch):
    """The handles passed to MivoraFaceTrackerDestroy."""
    handles = []
    original = mivoraface._destroy_tracker

    def destroy(handle):
        handles.append(handle)
        original(handle)

    monkeypatch.setattr(mivoraface, "_destroy_tracker", destroy)
    return handles


def test_tracker_is_destroyed_once_by_close_with_or_del(astronaut,
                                                        destroyed):
    tracker = mivoraface.Tracker()
    assert not tracker.closed
    assert len(tracker.detect(astronaut, video=False)) == 1
    tracker.close()
    tracker.close()
    assert tracker.closed
    assert len(destroyed) == 1
    with pytest.raises(ValueError, match="closed"):
        tracker.detect(astronaut)

    with mivoraface.Tracker() as tracker:
        tracker.detect(astronaut)
    assert tracker.closed
    assert len(destroyed) == 2

    tracker = mivoraface.Tracker()
    tracker.detect(astronaut)
    del tracker
    gc.collect()
    assert len(destroyed) == 3


def test_tracker_answers_like_the_c_tracker_in_still_mode(astronaut, clib):
    with mivoraface.Tracker() as tracker:
        faces = tracker.detect(astronaut, video=False)
    assert_same_faces(faces, clib.detect(astronaut))
    assert as_tuples(faces)[0][0][4] == 0  # no angle in still mode



def test_a_followed_face_keeps_its_id_and_a_returning_one_gets_a_new_id(
        right):
    blank = np.full_like(right[0], 90)
    frames = right[:12] + [blank] * 6 + right[12:]
    per_thread = run_in_thread(video_answers, frames)
    with mivoraface.Tracker() as tracker:
        on_tracker = [tracker.detect(frame) for frame in frames]
    for name, answers in (("per-thread", per_thread),
                          ("tracker", on_tracker)):
        before = [f.id for faces in answers[:12] for f in faces]
        after = [f.id for faces in answers[18:] for f in faces]
        assert len(before) >= 10 and len(after) >= len(answers) - 18 - 2
        assert before[0] > 0 and set(before) == {before[0]}, name
        assert set(after) == {after[0]}, name
        assert after[0] != before[0], f"{name}: an id was given again"


@pytest.mark.parametrize("bad", [0, -3, mivoraface.MAX_IMAGE_SIDE + 1, 2.5,
                                 True, "40"])
def test_min_face_size_is_checked(bad):
    with pytest.raises(ValueError, match="min_face_size"):
        mivoraface.set_min_face_size(bad)
    with pytest.raises(ValueError, match="min_face_size"):
        mivoraface.Tracker(min_face_size=bad)


@pytest.mark.parametrize("bad", [0, 1, -0.2, 1.5, float("nan")])
def test_score_threshold_is_checked(bad):
    with pytest.raises(ValueError, match="score_threshold"):
        mivoraface.set_score_threshold(bad)
    with mivoraface.Tracker() as tracker:
        with pytest.raises(ValueError, match="score_threshold"):
            tracker.set_score_threshold(bad)


def test_a_small_face_is_found_unless_smaller_than_the_minimum(astronaut):
    """The astronaut's face at about 35 px: too small for the HOG detector,
    found by the face network, not looked for below a 100 px minimum."""
    small = cv2.resize(astronaut, None, fx=0.35, fy=0.35,
                       interpolation=cv2.INTER_AREA)
    frame = np.full((480, 640, 3), 128, np.uint8)
    frame[200:200 + small.shape[0], 300:300 + small.shape[1]] = small
    assert mivoraface.detect(frame) == []  # still mode: dlib's detector
    with mivoraface.Tracker(min_face_size=100) as tracker:
        assert all(tracker.detect(frame) == [] for _ in range(8))
        tracker.set_min_face_size(20)
        found = [tracker.detect(frame) for _ in range(6)]
    faces = next(f for f in found if f)
    assert len(faces) == 1
    centre = faces[0].landmarks.mean(axis=0)
    assert 300 < centre[0] < 300 + small.shape[1]
    assert 200 < centre[1] < 200 + small.shape[0]
