/* SPDX-License-Identifier: MIT */
/*
 * mivora_face.h - MivoraFace: face detection and 68-point facial landmarks.
 *
 * MivoraFace finds frontal human faces in 8-bit images (BGR, RGB, gray and
 * the YUV formats of cameras and media frameworks) and returns the
 * 68 landmark points of a chosen face (jaw line, brows, nose, eyes, mouth;
 * the iBUG 300-W point layout). It is built on dlib's HOG face detector and
 * dlib's shape predictor; in video mode two small convolutional face
 * detectors of MediaPipe's BlazeFace family (run by the library's own code)
 * find the faces the HOG detector cannot see.
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
 * a few milliseconds with the installed models, see below; the face
 * networks, 2.4 MB, with the first detection too, which with its first
 * network pass takes about 10 ms in video mode and 20 ms in still mode at
 * 640x480), and later calls use them until the process ends.
 *
 * Image formats
 * -------------
 * MivoraFaceDetectStd and MivoraFaceTrackerDetect take 8-bit BGR images,
 * three channels in blue-green-red order, rows stored one after another
 * without padding: a row is 3 * width bytes and the whole image
 * 3 * width * height bytes. This is the layout of a continuous OpenCV CV_8UC3
 * cv::Mat.
 *
 * MivoraFaceDetectImage and MivoraFaceTrackerDetectImage take a
 * MivoraFaceImage instead: a pixel format (RGB and BGR with or without a
 * fourth byte, gray, and the YUV formats cameras and media frameworks
 * deliver, see "Pixel formats" below), and for each plane a pointer and a
 * row stride, so that padded rows, regions of interest of larger frames and
 * frames of GStreamer, FFmpeg or V4L2 are passed as they are. The library
 * reads the pixels in place; it makes no copy of the frame in another layout.
 *
 * Coordinates
 * -----------
 * Landmarks and boxes are in pixel coordinates of the image given to the
 * most recent detection call, whatever its format (for the YUV formats,
 * pixels of the full-resolution luma): x counts columns to the right, y
 * counts rows downwards, and (0, 0) is the centre of the top-left pixel.
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
 * upright one. A face the HOG detector cannot confirm (turned sideways,
 * small, in hard light) is looked at again by a small face network
 * (BlazeFace, 128x128 input, about 2 ms), also cut upright when the face is
 * rolled by more than 20 degrees; a face neither confirms is
 * followed from its landmarks for up to 10 frames while the HOG detector
 * still scores it as weakly face-like, then dropped; a face that leaves the
 * frame is dropped at once.
 *
 * Faces are found by a face network (MediaPipe's full-range BlazeFace,
 * 192x192 input): one pass a frame, over the whole frame, and for faces
 * smaller than it sees there (under about 45 pixels in a 640x480 frame),
 * over one of four overlapping tiles of the frame in the frames between; a
 * camera's first frame (the first call, which also loads the models) is
 * searched by the small network instead, which sees the large faces of
 * people near the camera at about a third of the cost. The network's boxes
 * are placed where dlib's detector would place its box on the same face,
 * turned to the roll of the face's eyes, and widened for that roll (an
 * upright box is narrower on a rolled face). It
 * finds faces rolled by up to about 60 degrees either way, turned sideways
 * (yaw) up to about 60 degrees, down to about 20 pixels wide in a 640x480
 * frame, and in colour images better than in
 * gray: it reads the colour of the packed RGB and BGR formats, only the gray
 * values of GRAY8 and the YUV formats. A face the network finds is cut
 * upright at the roll its eyes show and checked by the HOG detector there;
 * when that confirms it (a face under 32 pixels only when HOG is as sure as
 * of a face in a whole frame) and its first landmarks agree with the box,
 * it is reported at once, otherwise only after a sure second look in the next
 * frame (by the full-range network when the small one found it) and only
 * while its landmarks agree with its box, so that what the
 * network alone takes for a face (it does, now and then, in a cat or a
 * patterned cup) is never reported. Where the view has just changed (in
 * front of a still camera: something came into view), a tile's pass looks
 * there first, closer in, so that a small face that comes into view is
 * looked for at once rather than when its tile's turn comes (at most every
 * other tile's pass goes to a change; the tiles still take their turns).
 * When the whole view has just changed at once (someone came close to the
 * camera, the camera moved, the light changed) and no face is followed, such
 * a pass is the small network's over the whole frame instead (when it is
 * installed), which sees large faces, rolled far too, more surely. The search
 * runs when no face is followed (in front of a still camera, a face of 20
 * pixels or more at 640x480 coming into view is found within 3 frames nearly
 * always, mostly within 2; a large one rolled by up to 60 degrees mostly on
 * the frame it comes), at once when any face is lost, again when a new face
 * is found (beginning with the small network over the whole frame, unless
 * that found it, or a face was lost), so that faces that come into view
 * together are found together, and for new faces beside followed ones every
 * 35 frames or so (six passes, each spread over two frames when the small
 * network is installed, so that a frame that follows faces pays for half a
 * pass at most, unless one of them is lost; a face entering beside a followed
 * one is found by the next search, a large one within 40 frames). A pass
 * costs about 5 ms at 640x480 on one core of a recent x86-64 processor, a
 * followed face about 1 ms, and a frame that follows a face and carries
 * half a pass about 3.5 ms. MivoraFaceSetMinFaceSizeStd and
 * MivoraFaceSetScoreThresholdStd (and their tracker forms) set the smallest
 * face looked for and the network's score threshold.
 *
 * Without the network files (share/mivoraface/facemesh-detection-full.mivora
 * and blazeface-front.mivora, shipped with the library; a build without npm
 * lacks them) video mode searches with the HOG detector alone, as
 * MivoraFace 1.2 did: the whole frame a part in each of a few frames, and
 * while no face is followed the frame turned by 30 degrees either way, for
 * faces of about a fifth of the frame's height or more. A network file that
 * is there but damaged is reported like a damaged landmark model.
 *
 * Face numbers and ids
 * --------------------
 * Face numbers (face_index) run from 0 to the face count minus 1 in every
 * detection; they say where a face is in this detection's list, not which
 * face it is. Which face it is, is its id (MivoraGetFaceIdStd): a number
 * given to a face when it is first found, the same on every frame for as
 * long as the face is followed, and never given again by the same tracker
 * (or, for the per-thread functions, the same thread) while the process
 * runs. Key per-face state (a filter, an avatar) by id.
 *
 * In video mode the faces are numbered in the order they were first found,
 * so that face 0 is the face followed longest, and it stays face 0 while it
 * is in view, even when a larger or clearer face comes into view; faces
 * found in the same frame are numbered confident ones first, each group
 * largest first. When a face leaves, the faces after it move up one number
 * and keep their ids; when face 0 leaves, face 1 becomes face 0. Every face
 * followed is dropped by the same rule, whatever its number, and a face the
 * detector loses sight of is looked for at once: found again where it was
 * lost within 3 frames, it takes back its id and its place in the order.
 *
 * In still mode nothing is followed: every face of every still call gets a
 * new id, and the faces are numbered as the detector ranks them (confident
 * faces, those scored 0.5 or more, first, each group largest first, so face
 * 0 is the most prominent).
 *
 * Video-mode landmarks are steadied: camera noise on a still head moves them
 * far less than dlib's (each frame's points are the mean of three readings
 * from slightly moved boxes, and are averaged over frames), while a moving
 * head is followed without lag (the smoothing lets go as the face speeds up,
 * and the face's motion is filtered apart from its expression): a talking
 * mouth and a blink are followed about as closely as by dlib's points (on a
 * small, blurred face up to a sixth less closely), while the rest of the
 * face stays put. Identical frames give identical points after a few
 * frames. Points are not rounded to whole
 * pixels; the box (MivoraGetFaceBoxStd) turns with the face: its angle is
 * the roll of the points given, from the frame the face is found on.
 *
 * In MIVORA_FACE_MODE_STILL every call searches the whole image with the
 * HOG detector and with the small face network (BlazeFace, 128x128 input).
 * Every face the HOG detector finds is reported, with dlib's box and the
 * points of dlib's shape predictor in whole pixels (exactly its points with
 * a float model, to within the compact model's difference, see "Landmark
 * model", with the installed one), angle 0 and HOG's score as confidence.
 * A face only the network finds (rolled beyond about 30 degrees, turned
 * sideways, blurred, in hard light; about 60 pixels wide and more in a
 * 640x480 image, in proportion to the image's larger side) is reported
 * when the HOG detector, cut upright at the roll its eyes show, confirms it,
 * or else the full-range network is sure of it (score 0.75 or more), and
 * its landmarks agree with its box: its box is placed where dlib's detector
 * would place it, turned by its roll (the angle), its points are read
 * upright from that box and rounded to whole pixels, and its confidence is
 * HOG's score in that crop or the network's score (0.75 to 1). So since
 * MivoraFace 1.4 still mode no longer gives exactly dlib's faces, but all of
 * them and more. Now and then both networks are sure of something that is
 * no face (a cat's face, in 1 or 2 of 900 frames of a stress run); video
 * mode, which looks again in the next frame, does not report it, still
 * mode may.
 * The minimum face size and the score threshold (MivoraFaceSetMinFaceSizeStd
 * and MivoraFaceSetScoreThresholdStd) apply to the network's finds. A whole
 * 640x480 image costs about 1.3 times the HOG search alone (about 7 ms on
 * one core of a recent x86-64 processor), a face only the network finds
 * about 0.3 ms more, or 5 ms when the full-range network is asked. Without
 * the network files still mode gives exactly dlib's faces, as MivoraFace 1.3
 * did. A still call also ends the following of faces.
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
 * and the child can call the library at once, also on a tracker another
 * thread was using at the moment of the fork (see "Trackers"). Returning from main() or
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

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The library's version: the header's, and MivoraFaceVersion() the
 *  running library's. The major version is the soname's (libmivoraface.so.1). */
#define MIVORA_FACE_VERSION_MAJOR 1
#define MIVORA_FACE_VERSION_MINOR 4
#define MIVORA_FACE_VERSION_PATCH 5
#define MIVORA_FACE_VERSION "1.4.5"

/* Return codes. Success is 0 (or a face count); every error is negative. */

/** The call succeeded. */
#define MIVORA_FACE_OK 0
/** An argument is out of its documented range; nothing was read from it. */
#define MIVORA_FACE_ERROR_INVALID_ARGUMENT (-1)
/** A model file is missing, unreadable or corrupt: the landmark model, or
 *  a face network installed beside it; the line on stderr names it (see
 *  above). */
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
 * @param pixels  the image's first byte, packed BGR (see "Image formats"
 *                above); it must hold 3 * width * height readable bytes. The library
 *                keeps no pointer to it after the call returns.
 * @param width   image width in pixels, 1 to MIVORA_FACE_MAX_IMAGE_SIDE.
 * @param height  image height in pixels, 1 to MIVORA_FACE_MAX_IMAGE_SIDE.
 * @param mode    MIVORA_FACE_MODE_VIDEO when successive calls get successive
 *                frames of one camera, MIVORA_FACE_MODE_STILL for unrelated
 *                images. Any other value is an invalid argument.
 *
 * @return the number of faces found (0 when none), numbered from 0 as
 *         "Face numbers and ids" above says: in still mode face 0 is the
 *         most prominent face, in video mode the face followed longest; or,
 *         with nothing found:
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT when pixels is NULL, a side is
 *         not in range or mode is unknown (the buffer is then not read);
 *         MIVORA_FACE_ERROR_MODEL_UNAVAILABLE when the model cannot be read;
 *         MIVORA_FACE_ERROR_INTERNAL on an internal failure.
 *         After an error, the landmark call answers
 *         MIVORA_FACE_ERROR_NO_DETECTION until the next successful detection.
 */
MIVORA_FACE_API int MivoraFaceDetectStd(const unsigned char* pixels, int width, int height, int mode);

/**
 * Pixel formats
 * -------------
 * The format field of MivoraFaceImage. Every sample is 8 bits. "Row bytes"
 * is the least stride a plane may have; a larger stride is padding between
 * rows (or the row of a larger frame that an image is a region of), which
 * is never read. Chroma planes of the 4:2:0 formats (NV12, NV21, I420) are
 * ceil(width / 2) samples wide and ceil(height / 2) rows high, and packed
 * 4:2:2 rows (YUYV, UYVY) hold ceil(width / 2) pairs of pixels, as GStreamer
 * and FFmpeg lay out odd sizes.
 *
 * The library finds faces in the image's gray values. For the RGB formats it
 * converts the colour bytes of each pixel it needs as OpenCV's
 * COLOR_BGR2GRAY (COLOR_RGB2GRAY) does, to the bit; for the YUV formats the
 * gray values are the luma (Y) samples as they are, as OpenCV's
 * COLOR_YUV2GRAY_* conversions give them. This version reads only those
 * bytes: the alpha or padding byte of 4-byte pixels and the chroma (U, V) of
 * the YUV formats are never read. Every plane the format has must still be
 * described validly (see MivoraFaceImage), so that the same description
 * stays valid for versions that read them.
 *
 * YUV frames are usually of limited range (luma 16 to 235); their gray
 * values then span a little less contrast than the same picture converted
 * to RGB, which changes the detector's scores slightly and moves the
 * landmarks by up to about a pixel.
 */
enum MivoraFacePixelFormat {
    /** One plane, 3 bytes per pixel: blue, green, red. Row bytes: 3 * width.
     *  OpenCV's CV_8UC3 images; GStreamer's BGR. */
    MIVORA_FACE_FORMAT_BGR = 0,
    /** One plane, 3 bytes per pixel: red, green, blue. Row bytes: 3 * width.
     *  Python imaging libraries' RGB; GStreamer's RGB. */
    MIVORA_FACE_FORMAT_RGB = 1,
    /** One plane, 4 bytes per pixel: blue, green, red, alpha (not read).
     *  Row bytes: 4 * width. GStreamer's BGRA. */
    MIVORA_FACE_FORMAT_BGRA = 2,
    /** One plane, 4 bytes per pixel: red, green, blue, alpha (not read).
     *  Row bytes: 4 * width. GStreamer's RGBA; browsers' and SDL's RGBA32. */
    MIVORA_FACE_FORMAT_RGBA = 3,
    /** As MIVORA_FACE_FORMAT_BGRA, the fourth byte unused. GStreamer's BGRx. */
    MIVORA_FACE_FORMAT_BGRX = 4,
    /** As MIVORA_FACE_FORMAT_RGBA, the fourth byte unused. GStreamer's RGBx. */
    MIVORA_FACE_FORMAT_RGBX = 5,
    /** One plane, 1 byte per pixel: gray. Row bytes: width. GStreamer's
     *  GRAY8; OpenCV's CV_8UC1. */
    MIVORA_FACE_FORMAT_GRAY8 = 6,
    /** Two planes, 4:2:0. Plane 0: luma, 1 byte per pixel, row bytes width,
     *  height rows. Plane 1: chroma, U and V interleaved (U first) for each
     *  2x2 block of pixels, row bytes 2 * ceil(width / 2), ceil(height / 2)
     *  rows. Read: plane 0. */
    MIVORA_FACE_FORMAT_NV12 = 7,
    /** As MIVORA_FACE_FORMAT_NV12 with V first in plane 1 (Android's
     *  camera frames). Read: plane 0. */
    MIVORA_FACE_FORMAT_NV21 = 8,
    /** Three planes, 4:2:0. Plane 0: luma, row bytes width, height rows;
     *  plane 1: U and plane 2: V, each row bytes ceil(width / 2),
     *  ceil(height / 2) rows. FFmpeg's yuv420p; also YV12 with planes 1 and
     *  2 swapped. Read: plane 0. */
    MIVORA_FACE_FORMAT_I420 = 9,
    /** One plane, packed 4:2:2: each pair of pixels is 4 bytes Y0 U Y1 V.
     *  Row bytes: 4 * ceil(width / 2). V4L2's YUYV, GStreamer's YUY2,
     *  FFmpeg's yuyv422. Read: the Y bytes. */
    MIVORA_FACE_FORMAT_YUYV = 10,
    /** As MIVORA_FACE_FORMAT_YUYV with each pair stored U Y0 V Y1. Read: the Y
     *  bytes. */
    MIVORA_FACE_FORMAT_UYVY = 11
};

/** Number of pixel formats: formats are 0 to MIVORA_FACE_FORMAT_COUNT - 1. */
#define MIVORA_FACE_FORMAT_COUNT 12

/** The most planes a format has (I420's three). */
#define MIVORA_FACE_MAX_PLANES 3

/**
 * An image in memory: its format, its size, and where each plane's rows are.
 *
 * Rows are stored top row first; row y of plane i starts at
 * planes[i] + y * strides[i]. A description is valid when:
 * - format is one of enum MivoraFacePixelFormat;
 * - width and height are 1 to MIVORA_FACE_MAX_IMAGE_SIDE (odd sizes too);
 * - for each plane the format has (1 to 3, see the formats), planes[i] is
 *   not NULL and strides[i] is at least the plane's row bytes (no negative
 *   strides: bottom-up images are not described), and the plane's extent,
 *   strides[i] * (rows - 1) + row bytes, fits in a ptrdiff_t and in the
 *   address space after planes[i]. The caller guarantees that those bytes
 *   are readable; the bytes between rows are never read.
 * Entries beyond the format's planes are ignored. Planes may be anywhere,
 * in one buffer or several, without alignment.
 *
 * For example, a packed BGR image is {MIVORA_FACE_FORMAT_BGR, width,
 * height, {pixels}, {3 * width}}; a region of interest (x, y, w, h) of it
 * is {MIVORA_FACE_FORMAT_BGR, w, h, {pixels + y * 3 * width + 3 * x},
 * {3 * width}}, and its faces are in the region's coordinates; a GStreamer
 * NV12 frame is {MIVORA_FACE_FORMAT_NV12, width, height,
 * {GST_VIDEO_FRAME_PLANE_DATA(f, 0), GST_VIDEO_FRAME_PLANE_DATA(f, 1)},
 * {GST_VIDEO_FRAME_PLANE_STRIDE(f, 0), GST_VIDEO_FRAME_PLANE_STRIDE(f, 1)}}.
 */
typedef struct MivoraFaceImage {
    /** One of enum MivoraFacePixelFormat. */
    int format;
    /** Width and height in pixels. */
    int width, height;
    /** The first byte of each plane's top row. */
    const unsigned char* planes[MIVORA_FACE_MAX_PLANES];
    /** Bytes from the start of one row of each plane to the start of the
     *  next. */
    ptrdiff_t strides[MIVORA_FACE_MAX_PLANES];
} MivoraFaceImage;

/**
 * Find the faces in an image of any of the pixel formats: MivoraFaceDetectStd
 * for images described by a MivoraFaceImage. MivoraFaceDetectStd(pixels,
 * width, height, mode) is this call on {MIVORA_FACE_FORMAT_BGR, width,
 * height, {pixels}, {3 * width}}, with the same answers.
 *
 * @param image  the image; the library reads its planes during the call and
 *               keeps no pointer to them, nor to image, afterwards.
 * @param mode   MIVORA_FACE_MODE_VIDEO or MIVORA_FACE_MODE_STILL, as for
 *               MivoraFaceDetectStd. Successive video frames may change
 *               format or strides; a change of size starts afresh.
 *
 * @return the number of faces found, as MivoraFaceDetectStd; boxes and
 *         landmarks are in the pixel coordinates of image. Or:
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT when image is NULL, its
 *         description is not valid (see MivoraFaceImage: an unknown format, a
 *         side out of range, a NULL plane, a stride smaller than a row or
 *         negative, an extent that overflows) or mode is unknown; no pixel is
 *         then read;
 *         MIVORA_FACE_ERROR_MODEL_UNAVAILABLE when the model cannot be read;
 *         MIVORA_FACE_ERROR_INTERNAL on an internal failure.
 *         After an error, the landmark call answers
 *         MIVORA_FACE_ERROR_NO_DETECTION until the next successful detection.
 */
MIVORA_FACE_API int MivoraFaceDetectImage(const MivoraFaceImage* image, int mode);

/**
 * Get the 68 landmark points of one face of the calling thread's most recent
 * detection.
 *
 * @param face_index  0 for face 0 (see "Face numbers and ids"), up to the
 *                    face count minus 1.
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
     *  by it about its centre. In video mode, the roll of the face's
     *  landmarks (their eye line, to a few degrees) from the first frame on.
     *  In still mode, 0 for the faces of the HOG search (dlib's faces) and
     *  the landmarks' roll for the faces only the face network finds. */
    float angle;
    /** The detector's score: above 0 when it is sure. The HOG detector's
     *  scores of faces are mostly 0.5 to 3; a face only the face network
     *  confirms has the network's score, between the score threshold (0.5
     *  by default) and 1 (in still mode 0.75 to 1), and in video mode a face
     *  followed from its landmarks without either detector's confirmation a
     *  score below 0. */
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
 *         MivoraGetFaceLandmark68Std. In video mode, the box of a face found
 *         on this frame needs its landmarks (for its angle), so this call
 *         reads them if MivoraGetFaceLandmark68Std has not.
 */
MIVORA_FACE_API int MivoraGetFaceBoxStd(int face_index, MivoraFaceBox* box);

/**
 * Get the id of one face of the calling thread's most recent detection: the
 * face's own number, the same for as long as it is followed (see "Face
 * numbers and ids"). Since MivoraFace 1.2.
 *
 * @param face_index  as for MivoraGetFaceLandmark68Std.
 * @param id          where to write the id, a number from 1 up; on any
 *                    error a non-NULL id is set to 0, which is never an id.
 *
 * @return MIVORA_FACE_OK on success; otherwise
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT when id is NULL, or
 *         MIVORA_FACE_ERROR_NO_DETECTION,
 *         MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE,
 *         MIVORA_FACE_ERROR_MODEL_UNAVAILABLE or MIVORA_FACE_ERROR_INTERNAL
 *         as for MivoraGetFaceLandmark68Std.
 */
MIVORA_FACE_API int MivoraGetFaceIdStd(int face_index, long long* id);

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
 *
 * A child process forked while another thread was inside a call on a
 * tracker can use that tracker at once: the child's first call finds it
 * half-used by a thread the child does not have, and starts it afresh (its
 * faces are found again within 3 frames, with new ids). What that thread
 * was changing is left in the child's memory, never freed, since it may be
 * half-changed. The parent is not affected.
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

/** MivoraFaceDetectImage on a tracker's state; also
 *  MIVORA_FACE_ERROR_INVALID_ARGUMENT when tracker is NULL. */
MIVORA_FACE_API int MivoraFaceTrackerDetectImage(MivoraFaceTracker* tracker, const MivoraFaceImage* image, int mode);

/** MivoraGetFaceLandmark68Std on a tracker's most recent detection. */
MIVORA_FACE_API int MivoraFaceTrackerGetLandmark68(MivoraFaceTracker* tracker, int face_index, float* landmarks);

/** MivoraGetFaceBoxStd on a tracker's most recent detection. */
MIVORA_FACE_API int MivoraFaceTrackerGetBox(MivoraFaceTracker* tracker, int face_index, MivoraFaceBox* box);

/** MivoraGetFaceIdStd on a tracker's most recent detection: ids are the
 *  tracker's own, never given again by that tracker. Since MivoraFace 1.2. */
MIVORA_FACE_API int MivoraFaceTrackerGetId(MivoraFaceTracker* tracker, int face_index, long long* id);

/**
 * Set the smallest face video mode looks for, for the calling thread's
 * detections (MivoraFaceTrackerSetMinFaceSize: for a tracker's).
 *
 * Faces the face network finds clearly narrower than this (under four
 * fifths of it: the network's boxes of faces of one width scatter by that
 * much) are ignored. Raising it
 * above what the network sees in the whole frame (about 45 pixels at
 * 640x480, in proportion to the frame's larger side) spares the searches of
 * the frame's tiles, so that faces are found sooner and searching costs
 * less. Faces already followed are kept. In still mode it applies to the
 * faces only the network finds (every face the HOG detector finds is
 * kept). No effect without the face network (the HOG detector finds faces
 * of about 60 pixels and more).
 *
 * @param pixels  the face box's width in pixels, 1 to
 *                MIVORA_FACE_MAX_IMAGE_SIDE; the default is 20.
 *
 * @return MIVORA_FACE_OK, or MIVORA_FACE_ERROR_INVALID_ARGUMENT (nothing
 *         changed) when pixels is out of range; the tracker form also
 *         MIVORA_FACE_ERROR_INVALID_ARGUMENT for a NULL tracker and
 *         MIVORA_FACE_ERROR_TRACKER_BUSY. Takes effect from the next
 *         detection. Since MivoraFace 1.3.
 */
MIVORA_FACE_API int MivoraFaceSetMinFaceSizeStd(int pixels);
MIVORA_FACE_API int MivoraFaceTrackerSetMinFaceSize(MivoraFaceTracker* tracker, int pixels);

/**
 * Set the face network's score threshold, for the calling thread's
 * detections (MivoraFaceTrackerSetScoreThreshold: for a tracker's).
 *
 * A lower threshold finds more faces that are hard to see (small, turned,
 * in poor light) and looks at more face-like things again before rejecting
 * them; a higher one finds fewer. Faces the network alone reports are
 * always checked again in the next frame, whatever the threshold.
 *
 * @param threshold  above 0 and below 1; the default is 0.5.
 *
 * @return as MivoraFaceSetMinFaceSizeStd. Since MivoraFace 1.3.
 */
MIVORA_FACE_API int MivoraFaceSetScoreThresholdStd(float threshold);
MIVORA_FACE_API int MivoraFaceTrackerSetScoreThreshold(MivoraFaceTracker* tracker, float threshold);

#ifdef __cplusplus
}
#endif

#endif /* MIVORA_FACE_H */
