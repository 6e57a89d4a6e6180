# SPDX-License-Identifier: MIT
"""A child forked (multiprocessing, fork start method) while another thread
is inside a call on a Tracker can use that Tracker at once."""
import multiprocessing
import threading

import numpy as np

import mivoraface
from conftest import clip


def find_face(tracker, frame, queue):
    """In the child: the face on the inherited tracker within 4 frames."""
    for _ in range(4):
        faces = tracker.detect(frame)
        if faces:
            queue.put(("found", faces[0].id))
            return
    queue.put(("missed", 0))


def test_child_uses_a_tracker_busy_at_fork(astronaut):
    face_frame = clip(astronaut, 1, (0, 0))[0]
    big = np.full((720, 1280, 3), 90, np.uint8)
    big[100:100 + astronaut.shape[0], 200:200 + astronaut.shape[1]] = astronaut
    tracker = mivoraface.Tracker()
    stop = threading.Event()
    calls = [0]

    def follow():
        while not stop.is_set():
            tracker.detect(big)
            calls[0] += 1

    worker = threading.Thread(target=follow)
    worker.start()
    context = multiprocessing.get_context("fork")
    inside = 0
    try:
        while calls[0] == 0:
            stop.wait(0.001)
        for _ in range(4):
            queue = context.Queue()
            child = context.Process(target=find_face,
                                    args=(tracker, face_frame, queue))
            before = calls[0]
            busy = tracker._lock.locked()
            child.start()
            # Held all along by one call: the fork landed inside it.
            inside += busy and tracker._lock.locked() and calls[0] == before
            child.join(timeout=60)
            if child.is_alive():
                child.kill()
                child.join()
            assert child.exitcode == 0, "the child hung or failed"
            result, face_id = queue.get(timeout=5)
            assert result == "found" and face_id > 0
    finally:
        stop.set()
        worker.join()
    assert inside > 0, "no fork landed inside a tracker call"
    # The parent's tracker goes on working.
    assert any(tracker.detect(face_frame) for _ in range(4))
    tracker.close()
