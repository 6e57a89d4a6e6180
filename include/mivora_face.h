/*
 * mivora_face.h - MivoraFace: face detection and 68-point facial landmarks.
 *
 * MivoraFace finds frontal human faces in 8-bit BGR images and returns the
 * 68 landmark points of a chosen face (jaw line, brows, nose, eyes, mouth;
 * the iBUG 300-W point layout). It is built on dlib's HOG face detector and
 * dlib's shape predictor.
 *
 * Usage
 * -----
 * Find the faces in a BGR image and print the landmarks of the largest one:
 *
 * @code
 *     int faces = MivoraFaceDetectStd(bgr_pixels, width, height,
 *                                     MIVORA_FACE_MODE_STILL);
 *     if (faces < 0) {
 *         fprintf(stderr, "detection failed: error %d\n", faces);
 *         return faces;
 *     }
 *     if (faces > 0) {
 *         float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
 *         int status = MivoraGetFaceLandmark68Std(0, landmarks);
 *         if (status != MIVORA_FACE_OK)
 *             return status;
 *         for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
 *             printf("%g %g\n", landmarks[2 * i], landmarks[2 * i + 1]);
 *     }
 *     return faces;
 * @endcode
 *
 * Build with CMake (find_package(MivoraFace), then link
 * MivoraFace::mivoraface) or with pkg-config (pkg-config --cflags --libs
 * mivoraface).
 *
 * There is no initialisation or shutdown call. Loading the library starts
 * no thread and reads no file; the first call that needs the models reads
 * them, on the calling thread (the detector and the landmark model's trees
 * with the first detection, the 6 MB of its leaves with the first landmarks;
 * a few milliseconds with the installed models, see below), and later calls
 * use them until the process ends.
 *
 * Image format
 * ------------
 * Every image is 8 bits per channel, three channels in blue-green-red order,
 * rows stored one after another without padding: a row is 3 * width bytes and
 * the whole image 3 * width * height bytes. This is the layout of a
 * continuous OpenCV CV_8UC3 cv::Mat.
 *
 * Coordinates
 * -----------
 * Landmarks are in pixel coordinates of the image given to the most recent
 * detection call: x counts columns to the right, y counts rows downwards, and
 * (0, 0) is the centre of the top-left pixel.
 *
 * Landmark model
 * --------------
 * The landmarks come from dlib's 68-point model (Debian package
 * libdlib-data). The build packs it into share/mivoraface beside the library
 * in a compact form of 7.4 MB: dlib's regression trees, with the leaves of
 * each cascade level kept as a few coefficients in a basis of that level's
 * own. Its points are dlib's to within what dlib's regression itself
 * changes when its face box moves by a thousandth of a pixel: on average
 * about 0.6% of the distance between the outer eye corners, a point here and
 * there by a few percent. Without that file the library reads
 * /usr/share/dlib/shape_predictor_68_face_landmarks.dat, which takes about a
 * second. The environment variable MIVORA_FACE_LANDMARK_MODEL, when set and
 * not empty, names the model file instead: compact, packed float (66 MB,
 * exactly dlib's points; mivora_model_pack makes both) or dlib's own format;
 * it is read by the first call. When the model cannot be read (missing, not
 * a regular file, not a 68-point model, damaged, truncated or of a newer
 * format), one line naming the path and the fix is written to stderr (once
 * per process) and every call returns MIVORA_FACE_ERROR_MODEL_UNAVAILABLE.
 * Every size and count in the file is checked before it is used, so a bad
 * file costs no more time or memory than a good one. The library never
 * writes to stdout.
 *
 * The model is copied into the process's own memory (7.4 MB for the compact
 * form, 66 MB for a float or dlib model; shared with children forked
 * afterwards): its trees by the first call, its leaves by the first call that
 * needs landmarks. Replacing, rewriting or truncating the file while a
 * program runs therefore changes nothing for that program; it sees the new
 * file when it next starts.
 *
 * Video mode
 * ----------
 * In MIVORA_FACE_MODE_VIDEO each face is followed from frame to frame by its
 * own landmarks: the previous frame's points say where the face is now, how
 * large, and at what roll (the eye line). The detector confirms it in a
 * small crop cut upright at that roll, and the landmarks are read in the same
 * upright frame, so a head tilted at any angle is followed as well as an
 * upright one. A face the detector cannot confirm (turned away, half
 * covered, blurred) is followed from its landmarks for up to 10 frames while
 * the detector still scores it as weakly face-like, then dropped; a face that
 * leaves the frame is dropped at once. The whole frame is searched when no
 * face is followed, when face 0 is lost, when the frame size changes, and
 * every 30 frames for new faces, a part of it in each of a few frames so
 * that no call costs a whole search: a face coming into view is found
 * within 3 frames. While no face is followed, the frame turned by 30 degrees
 * either way is searched as well, a part in each frame, for faces of about a
 * fifth of the frame's height or more: a head that comes into view tilted by
 * up to about 60 degrees (dlib's detector finds most up to about 30) is
 * found within 8 more frames. A face keeps its number while it stays in
 * view.
 *
 * Video-mode landmarks are steadied: camera noise on a still head moves them
 * far less than dlib's (they are averaged over frames), while a moving head
 * is followed without lag (the smoothing lets go as the face speeds up, and
 * the face's motion is filtered apart from its expression). Identical frames
 * give identical points after a few frames. Points are not rounded to whole
 * pixels; the box (MivoraGetFaceBoxStd) turns with the face.
 *
 * In MIVORA_FACE_MODE_STILL every call searches the whole image and gives
 * exactly the faces of dlib's detector, and the points of dlib's shape
 * predictor in whole pixels: exactly its points with a float model, to
 * within the compact model's difference (see "Landmark model") with the
 * installed one. A still call also ends the following of faces.
 *
 * Threading
 * ---------
 * Any thread may call the library, and calls from different threads run in
 * parallel: each thread has its own detector and shares the landmark model.
 * The landmark call answers the most recent detection call of the same
 * thread, so threads that each detect and then ask for landmarks never see
 * each other's faces, and each thread's video-mode faces are followed from
 * its own previous frame. What a thread's calls keep is released when the
 * thread ends. After an image of more than 8 megapixels, the memory its
 * search needed is given back to the system.
 *
 * Processes: fork, exit and unloading
 * -----------------------------------
 * fork() is safe at any moment, also while another thread is inside a call
 * or loading the models: a fork waits for a model load in progress to end,
 * and the child can call the library at once. Returning from main() or
 * calling exit() while other threads are inside calls is safe; the library's
 * state is never destroyed before the process ends. The library is never
 * unloaded: dlclose() leaves it in place, and a later dlopen() returns it
 * with its models still loaded. It changes no process-wide setting (no
 * signal handlers, thread pools or malloc options); it registers
 * pthread_atfork() handlers, and gives free memory back with malloc_trim()
 * after very large images. A library constructor (for example a plugin's)
 * may call it.
 */
#ifndef MIVORA_FACE_H
#define MIVORA_FACE_H

#if defined(MIVORA_FACE_BUILDING) && defined(__GNUC__)
#define MIVORA_FACE_API __attribute__((visibility("default")))
#else
#define MIVORA_FACE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The library's version: the header's, and MivoraFaceVersion() the
 *  running library's. The major version is the soname's (libmivoraface.so.1). */
#define MIVORA_FACE_VERSION_MAJOR 1
#define MIVORA_FACE_VERSION_MINOR 1
#define MIVORA_FACE_VERSION_PATCH 0
#define MIVORA_FACE_VERSION "1.1.0"

/* Return codes. Success is 0 (or a face count); every error is negative. */

/** The call succeeded. */
#define MIVORA_FACE_OK 0
/** An argument is out of its documented range; nothing was read from it. */
#define MIVORA_FACE_ERROR_INVALID_ARGUMENT (-1)
/** The landmark model is missing, unreadable or corrupt (see above). */
#define MIVORA_FACE_ERROR_MODEL_UNAVAILABLE (-2)
/** The landmark call has no successful detection call to answer. */
#define MIVORA_FACE_ERROR_NO_DETECTION (-3)
/** The face index is negative or not below the most recent face count. */
#define MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE (-4)
/** An internal failure, such as running out of memory. */
#define MIVORA_FACE_ERROR_INTERNAL (-5)
/** The tracker is in a call from another thread; nothing was done. */
#define MIVORA_FACE_ERROR_TRACKER_BUSY (-6)

/** Largest accepted image width and height, in pixels. */
#define MIVORA_FACE_MAX_IMAGE_SIDE 16384

/** Number of landmark points, and of floats the landmark call writes. */
#define MIVORA_FACE_LANDMARK_POINT_COUNT 68
#define MIVORA_FACE_LANDMARK_VALUE_COUNT 136

/** Detection modes (the fourth argument of MivoraFaceDetectStd). */
/** Independent still images: every call looks at the image afresh. */
#define MIVORA_FACE_MODE_STILL 0
/** Consecutive frames of one camera: the library may use earlier frames. */
#define MIVORA_FACE_MODE_VIDEO 1

/**
 * Find the faces in an image.
 *
 * @param pixels  the image's first byte, in the format described above; it
 *                must hold 3 * width * height readable bytes. The library
 *                keeps no pointer to it after the call returns.
 * @param width   image width in pixels, 1 to MIVORA_FACE_MAX_IMAGE_SIDE.
 * @param height  image height in pixels, 1 to MIVORA_FACE_MAX_IMAGE_SIDE.
 * @param mode    MIVORA_FACE_MODE_VIDEO when successive calls get successive
 *                frames of one camera, MIVORA_FACE_MODE_STILL for unrelated
 *                images. Any other value is an invalid argument.
 *
 * @return the number of faces found (0 when none), numbered from 0: faces the
 *         detector is confident of come first, each group largest first, so
 *         face 0 is the most prominent face (in video mode, faces followed
 *         from the previous frame keep their numbers); or, with nothing found:
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT when pixels is NULL, a side is
 *         not in range or mode is unknown (the buffer is then not read);
 *         MIVORA_FACE_ERROR_MODEL_UNAVAILABLE when the model cannot be read;
 *         MIVORA_FACE_ERROR_INTERNAL on an internal failure.
 *         After an error, the landmark call answers
 *         MIVORA_FACE_ERROR_NO_DETECTION until the next successful detection.
 */
MIVORA_FACE_API int MivoraFaceDetectStd(const unsigned char* pixels, int width,
                                        int height, int mode);

/**
 * Get the 68 landmark points of one face of the calling thread's most recent
 * detection.
 *
 * @param face_index  0 for the largest face, up to the face count minus 1.
 * @param landmarks   room for MIVORA_FACE_LANDMARK_VALUE_COUNT floats; on
 *                    success point i is written to landmarks[2 * i] (x) and
 *                    landmarks[2 * i + 1] (y). On any error, a non-NULL
 *                    buffer is filled with zeros.
 *
 * @return MIVORA_FACE_OK on success; otherwise
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT when landmarks is NULL;
 *         MIVORA_FACE_ERROR_NO_DETECTION when no detection call has succeeded
 *         yet, or the most recent one failed;
 *         MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE when face_index is
 *         negative or not below the most recent face count;
 *         MIVORA_FACE_ERROR_MODEL_UNAVAILABLE when the model cannot be read;
 *         MIVORA_FACE_ERROR_INTERNAL on an internal failure.
 */
MIVORA_FACE_API int MivoraGetFaceLandmark68Std(int face_index, float* landmarks);

/** A face's box, as the detector reported it. */
typedef struct MivoraFaceBox {
    /** Left and top edges, width and height, in pixels of the detected
     *  image; in video mode, the box before it is turned by angle. */
    float x, y, width, height;
    /** The face's roll in degrees, clockwise on screen: the box is turned
     *  by it about its centre. Always 0 in still mode. */
    float angle;
    /** The detector's score: above 0 when it is sure (most faces score 0.5
     *  to 3); in video mode, below 0 while a face is followed from its
     *  landmarks without the detector's confirmation. */
    float confidence;
} MivoraFaceBox;

/**
 * Get the box and confidence of one face of the calling thread's most
 * recent detection.
 *
 * @param face_index  as for MivoraGetFaceLandmark68Std.
 * @param box         where to write the box; on any error, a non-NULL box
 *                    is filled with zeros.
 *
 * @return MIVORA_FACE_OK on success, or the error codes of
 *         MivoraGetFaceLandmark68Std.
 */
MIVORA_FACE_API int MivoraGetFaceBoxStd(int face_index, MivoraFaceBox* box);

/**
 * A short English message for a return code ("face index out of range"),
 * for logs and exceptions. Never NULL: unknown codes get "unknown error";
 * 0 and face counts get "success". The text is static: do not free it.
 */
MIVORA_FACE_API const char* MivoraFaceErrorString(int code);

/** The running library's version, "MAJOR.MINOR.PATCH"; static text. */
MIVORA_FACE_API const char* MivoraFaceVersion(void);

/**
 * Trackers: one per camera
 * ------------------------
 * The functions above keep one camera's state per calling thread. A tracker
 * keeps it per handle instead, so that one thread can follow several
 * cameras (or one camera can be served by a pool of threads) without their
 * faces mixing. A tracker's calls behave exactly like the functions above.
 *
 * A tracker may be used by any thread, but by one thread at a time: a call
 * made while another thread is inside a call on the same tracker returns
 * MIVORA_FACE_ERROR_TRACKER_BUSY without doing anything. Different trackers
 * run in parallel. Destroy a tracker only when no call on it is running.
 */
typedef struct MivoraFaceTracker MivoraFaceTracker;

/** A new tracker with no faces; NULL when out of memory. Cheap: it loads
 *  no model. */
MIVORA_FACE_API MivoraFaceTracker* MivoraFaceTrackerCreate(void);

/** Releases a tracker and everything it keeps. NULL is ignored. */
MIVORA_FACE_API void MivoraFaceTrackerDestroy(MivoraFaceTracker* tracker);

/** MivoraFaceDetectStd on a tracker's state; also
 *  MIVORA_FACE_ERROR_INVALID_ARGUMENT when tracker is NULL. */
MIVORA_FACE_API int MivoraFaceTrackerDetect(MivoraFaceTracker* tracker, const unsigned char* pixels, int width,
                                            int height, int mode);

/** MivoraGetFaceLandmark68Std on a tracker's most recent detection. */
MIVORA_FACE_API int MivoraFaceTrackerGetLandmark68(MivoraFaceTracker* tracker, int face_index, float* landmarks);

/** MivoraGetFaceBoxStd on a tracker's most recent detection. */
MIVORA_FACE_API int MivoraFaceTrackerGetBox(MivoraFaceTracker* tracker, int face_index, MivoraFaceBox* box);

#ifdef __cplusplus
}
#endif

#endif /* MIVORA_FACE_H */
