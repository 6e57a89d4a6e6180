/* SPDX-License-Identifier: MIT */
/*
 * The GStreamer element mivoraface: finds and follows faces in raw video,
 * one MivoraFace tracker per element (per stream). Per frame it attaches a
 * GstVideoRegionOfInterestMeta of type "face" to the buffer for each face,
 * posts an element message with the faces, and draws their 68 landmark
 * points as red dots unless draw is off.
 *
 *   gst-launch-1.0 v4l2src ! videoconvert ! mivoraface ! videoconvert ! autovideosink
 */
#include "mivora_face.h"

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/gstvideometa.h>
#include <gst/video/video.h>

#include <math.h>

GST_DEBUG_CATEGORY_STATIC(mivoraface_debug);
#define GST_CAT_DEFAULT mivoraface_debug

#define GST_TYPE_MIVORAFACE (gst_mivoraface_get_type())
G_DECLARE_FINAL_TYPE(GstMivoraFace, gst_mivoraface, GST, MIVORAFACE, GstVideoFilter)

struct _GstMivoraFace {
    GstVideoFilter parent;
    /* Made in start(), released in stop(); used by the streaming thread. */
    MivoraFaceTracker* tracker;
    /* Guarded by the object lock. */
    gboolean draw;
};

G_DEFINE_TYPE(GstMivoraFace, gst_mivoraface, GST_TYPE_VIDEO_FILTER)

enum { PROP_0, PROP_DRAW };

#define DEFAULT_DRAW TRUE
/* Radius of the drawn dots, in pixels, as the demo draws them. */
#define DOT_RADIUS 2

#define VIDEO_CAPS GST_VIDEO_CAPS_MAKE("{ BGR, RGB, BGRA, RGBA, BGRx, RGBx, GRAY8, NV12, NV21, I420, YUY2, UYVY }")

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VIDEO_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VIDEO_CAPS));

/* The library's format for a negotiated one; -1 for none. */
static int library_format(GstVideoFormat format)
{
    switch (format) {
    case GST_VIDEO_FORMAT_BGR: return MIVORA_FACE_FORMAT_BGR;
    case GST_VIDEO_FORMAT_RGB: return MIVORA_FACE_FORMAT_RGB;
    case GST_VIDEO_FORMAT_BGRA: return MIVORA_FACE_FORMAT_BGRA;
    case GST_VIDEO_FORMAT_RGBA: return MIVORA_FACE_FORMAT_RGBA;
    case GST_VIDEO_FORMAT_BGRx: return MIVORA_FACE_FORMAT_BGRX;
    case GST_VIDEO_FORMAT_RGBx: return MIVORA_FACE_FORMAT_RGBX;
    case GST_VIDEO_FORMAT_GRAY8: return MIVORA_FACE_FORMAT_GRAY8;
    case GST_VIDEO_FORMAT_NV12: return MIVORA_FACE_FORMAT_NV12;
    case GST_VIDEO_FORMAT_NV21: return MIVORA_FACE_FORMAT_NV21;
    case GST_VIDEO_FORMAT_I420: return MIVORA_FACE_FORMAT_I420;
    case GST_VIDEO_FORMAT_YUY2: return MIVORA_FACE_FORMAT_YUYV;
    case GST_VIDEO_FORMAT_UYVY: return MIVORA_FACE_FORMAT_UYVY;
    default: return -1;
    }
}

/* The face's id: the same on every frame for as long as the face is followed. */
static gboolean face_id(MivoraFaceTracker* tracker, int index, gint64* id)
{
    long long value = 0;
    if (MivoraFaceTrackerGetId(tracker, index, &value) != MIVORA_FACE_OK)
        return FALSE;
    *id = value;
    return TRUE;
}

/* Posts the element error for a failed library call. */
static void report_library_error(GstMivoraFace* self, int code)
{
    if (code == MIVORA_FACE_ERROR_MODEL_UNAVAILABLE)
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Cannot load the MivoraFace landmark model."),
                          ("%s: install the package libmivoraface1 (its packed model) or libdlib-data, or set "
                           "MIVORA_FACE_LANDMARK_MODEL to a 68-point model file",
                           MivoraFaceErrorString(code)));
    else
        GST_ELEMENT_ERROR(self, LIBRARY, FAILED,
                          ("MivoraFace failed: %s (error %d).", MivoraFaceErrorString(code), code), (NULL));
}

/* Forgets the faces followed: the next frame starts afresh. */
static void reset_tracker(GstMivoraFace* self)
{
    if (self->tracker == NULL)
        return;
    MivoraFaceTrackerDestroy(self->tracker);
    self->tracker = MivoraFaceTrackerCreate();
    GST_DEBUG_OBJECT(self, "faces forgotten");
}

static gboolean gst_mivoraface_start(GstBaseTransform* trans)
{
    GstMivoraFace* self = GST_MIVORAFACE(trans);
    self->tracker = MivoraFaceTrackerCreate();
    if (self->tracker == NULL) {
        GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Out of memory for a face tracker."), (NULL));
        return FALSE;
    }
    /* A one-pixel still image loads the models now, so that a missing model
     * fails the state change instead of the first frame. */
    static const unsigned char pixel = 0;
    const MivoraFaceImage probe = {MIVORA_FACE_FORMAT_GRAY8, 1, 1, {&pixel}, {1}};
    const int status = MivoraFaceTrackerDetectImage(self->tracker, &probe, MIVORA_FACE_MODE_STILL);
    if (status < 0) {
        report_library_error(self, status);
        MivoraFaceTrackerDestroy(self->tracker);
        self->tracker = NULL;
        return FALSE;
    }
    return TRUE;
}

static gboolean gst_mivoraface_stop(GstBaseTransform* trans)
{
    GstMivoraFace* self = GST_MIVORAFACE(trans);
    MivoraFaceTrackerDestroy(self->tracker);
    self->tracker = NULL;
    return TRUE;
}

static gboolean gst_mivoraface_sink_event(GstBaseTransform* trans, GstEvent* event)
{
    /* A flush (seeks flush) or a new segment: the frames that follow do not
     * continue the ones before. */
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP || GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT)
        reset_tracker(GST_MIVORAFACE(trans));
    return GST_BASE_TRANSFORM_CLASS(gst_mivoraface_parent_class)->sink_event(trans, event);
}

static gboolean gst_mivoraface_set_info(GstVideoFilter* filter, GstCaps* incaps, GstVideoInfo* in_info,
                                        GstCaps* outcaps, GstVideoInfo* out_info)
{
    (void)incaps;
    (void)outcaps;
    (void)out_info;
    if (library_format(GST_VIDEO_INFO_FORMAT(in_info)) < 0)
        return FALSE;
    reset_tracker(GST_MIVORAFACE(filter));
    return TRUE;
}

/* Sets the pixels of a filled dot of radius DOT_RADIUS at (cx, cy) to red,
 * clipped to the frame. */
static void draw_dot(GstVideoFrame* frame, double cx, double cy)
{
    /* Red in BT.601 limited-range YUV. */
    static const guint8 red_y = 81, red_u = 90, red_v = 240;
    const GstVideoFormat format = GST_VIDEO_FRAME_FORMAT(frame);
    const int width = GST_VIDEO_FRAME_WIDTH(frame), height = GST_VIDEO_FRAME_HEIGHT(frame);
    const int x0 = (int)lround(cx), y0 = (int)lround(cy);
    for (int y = MAX(y0 - DOT_RADIUS, 0); y <= MIN(y0 + DOT_RADIUS, height - 1); ++y) {
        for (int x = MAX(x0 - DOT_RADIUS, 0); x <= MIN(x0 + DOT_RADIUS, width - 1); ++x) {
            if ((x - x0) * (x - x0) + (y - y0) * (y - y0) > DOT_RADIUS * DOT_RADIUS)
                continue;
            guint8* row = (guint8*)GST_VIDEO_FRAME_PLANE_DATA(frame, 0) + y * GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
            switch (format) {
            case GST_VIDEO_FORMAT_BGR:
            case GST_VIDEO_FORMAT_RGB:
            case GST_VIDEO_FORMAT_BGRA:
            case GST_VIDEO_FORMAT_RGBA:
            case GST_VIDEO_FORMAT_BGRx:
            case GST_VIDEO_FORMAT_RGBx: {
                const int bytes = GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 0);
                guint8* p = row + x * bytes;
                p[GST_VIDEO_FRAME_COMP_OFFSET(frame, 0)] = 255; /* R */
                p[GST_VIDEO_FRAME_COMP_OFFSET(frame, 1)] = 0;   /* G */
                p[GST_VIDEO_FRAME_COMP_OFFSET(frame, 2)] = 0;   /* B */
                break;
            }
            case GST_VIDEO_FORMAT_NV12:
            case GST_VIDEO_FORMAT_NV21:
            case GST_VIDEO_FORMAT_I420: {
                row[x] = red_y;
                const int cxs = x / 2, cys = y / 2;
                guint8* u = (guint8*)GST_VIDEO_FRAME_COMP_DATA(frame, 1) + cys * GST_VIDEO_FRAME_COMP_STRIDE(frame, 1) +
                            cxs * GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 1);
                guint8* v = (guint8*)GST_VIDEO_FRAME_COMP_DATA(frame, 2) + cys * GST_VIDEO_FRAME_COMP_STRIDE(frame, 2) +
                            cxs * GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 2);
                *u = red_u;
                *v = red_v;
                break;
            }
            case GST_VIDEO_FORMAT_YUY2:
            case GST_VIDEO_FORMAT_UYVY: {
                guint8* pair = row + (x / 2) * 4;
                pair[GST_VIDEO_FRAME_COMP_OFFSET(frame, 0) + (x % 2) * 2] = red_y;
                pair[GST_VIDEO_FRAME_COMP_OFFSET(frame, 1)] = red_u;
                pair[GST_VIDEO_FRAME_COMP_OFFSET(frame, 2)] = red_v;
                break;
            }
            default: return; /* GRAY8: no red to draw with */
            }
        }
    }
}

/* value <- GstValueArray of the 136 floats x0, y0, x1, y1, ... */
static void points_value(GValue* value, const float* landmarks)
{
    g_value_init(value, GST_TYPE_ARRAY);
    GValue coordinate = G_VALUE_INIT;
    g_value_init(&coordinate, G_TYPE_FLOAT);
    for (int i = 0; i < MIVORA_FACE_LANDMARK_VALUE_COUNT; ++i) {
        g_value_set_float(&coordinate, landmarks[i]);
        gst_value_array_append_value(value, &coordinate);
    }
    g_value_unset(&coordinate);
}

static guint clamped(double value, int limit) { return (guint)CLAMP(lround(value), 0, (long)limit); }

static GstFlowReturn gst_mivoraface_transform_frame_ip(GstVideoFilter* filter, GstVideoFrame* frame)
{
    GstMivoraFace* self = GST_MIVORAFACE(filter);
    GstBaseTransform* trans = GST_BASE_TRANSFORM(filter);
    if (self->tracker == NULL) {
        GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Out of memory for a face tracker."), (NULL));
        return GST_FLOW_ERROR;
    }
    MivoraFaceImage image = {0};
    image.format = library_format(GST_VIDEO_FRAME_FORMAT(frame));
    image.width = GST_VIDEO_FRAME_WIDTH(frame);
    image.height = GST_VIDEO_FRAME_HEIGHT(frame);
    for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(frame) && i < MIVORA_FACE_MAX_PLANES; ++i) {
        image.planes[i] = GST_VIDEO_FRAME_PLANE_DATA(frame, i);
        image.strides[i] = GST_VIDEO_FRAME_PLANE_STRIDE(frame, i);
    }
    const int count = MivoraFaceTrackerDetectImage(self->tracker, &image, MIVORA_FACE_MODE_VIDEO);
    if (count < 0) {
        report_library_error(self, count);
        return GST_FLOW_ERROR;
    }

    GST_OBJECT_LOCK(self);
    const gboolean draw = self->draw;
    GST_OBJECT_UNLOCK(self);

    GValue faces = G_VALUE_INIT;
    g_value_init(&faces, GST_TYPE_LIST);
    for (int i = 0; i < count; ++i) {
        MivoraFaceBox box;
        float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        int status = MivoraFaceTrackerGetBox(self->tracker, i, &box);
        if (status == MIVORA_FACE_OK)
            status = MivoraFaceTrackerGetLandmark68(self->tracker, i, landmarks);
        if (status != MIVORA_FACE_OK) {
            g_value_unset(&faces);
            report_library_error(self, status);
            return GST_FLOW_ERROR;
        }
        /* The box clipped to the frame, in whole pixels. */
        const guint x = clamped(box.x, image.width - 1), y = clamped(box.y, image.height - 1);
        const guint right = clamped(box.x + box.width, image.width), bottom = clamped(box.y + box.height, image.height);
        const guint w = MAX(right, x + 1) - x, h = MAX(bottom, y + 1) - y;

        GValue points = G_VALUE_INIT;
        points_value(&points, landmarks);
        GstStructure* params = gst_structure_new("mivoraface", "confidence", G_TYPE_DOUBLE, (double)box.confidence,
                                                 "angle", G_TYPE_DOUBLE, (double)box.angle, NULL);
        gint64 id = 0;
        const gboolean has_id = face_id(self->tracker, i, &id);
        if (has_id)
            gst_structure_set(params, "id", G_TYPE_INT64, id, NULL);
        gst_structure_set_value(params, "points", &points);
        g_value_unset(&points);

        GstStructure* face = gst_structure_copy(params);
        gst_structure_set_name(face, "face");
        gst_structure_set(face, "x", G_TYPE_UINT, x, "y", G_TYPE_UINT, y, "width", G_TYPE_UINT, w, "height",
                          G_TYPE_UINT, h, NULL);
        GValue face_value = G_VALUE_INIT;
        g_value_init(&face_value, GST_TYPE_STRUCTURE);
        g_value_take_boxed(&face_value, face);
        gst_value_list_append_and_take_value(&faces, &face_value);

        GstVideoRegionOfInterestMeta* meta =
            gst_buffer_add_video_region_of_interest_meta(frame->buffer, "face", x, y, w, h);
        meta->id = has_id ? (gint)id : i; /* the face's own id, so that it matches across buffers */
        gst_video_region_of_interest_meta_add_param(meta, params);

        if (draw)
            for (int p = 0; p < MIVORA_FACE_LANDMARK_POINT_COUNT; ++p)
                draw_dot(frame, landmarks[2 * p], landmarks[2 * p + 1]);
    }

    /* As GStreamer's facedetect element: the buffer's times, then the faces. */
    const GstClockTime timestamp = GST_BUFFER_PTS(frame->buffer);
    GstStructure* s =
        gst_structure_new("mivoraface", "timestamp", G_TYPE_UINT64, timestamp, "stream-time", G_TYPE_UINT64,
                          gst_segment_to_stream_time(&trans->segment, GST_FORMAT_TIME, timestamp), "running-time",
                          G_TYPE_UINT64, gst_segment_to_running_time(&trans->segment, GST_FORMAT_TIME, timestamp),
                          "duration", G_TYPE_UINT64, GST_BUFFER_DURATION(frame->buffer), NULL);
    gst_structure_take_value(s, "faces", &faces);
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), s));
    return GST_FLOW_OK;
}

static void gst_mivoraface_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    GstMivoraFace* self = GST_MIVORAFACE(object);
    switch (prop_id) {
    case PROP_DRAW:
        GST_OBJECT_LOCK(self);
        self->draw = g_value_get_boolean(value);
        GST_OBJECT_UNLOCK(self);
        break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
    }
}

static void gst_mivoraface_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    GstMivoraFace* self = GST_MIVORAFACE(object);
    switch (prop_id) {
    case PROP_DRAW:
        GST_OBJECT_LOCK(self);
        g_value_set_boolean(value, self->draw);
        GST_OBJECT_UNLOCK(self);
        break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
    }
}

static void gst_mivoraface_finalize(GObject* object)
{
    GstMivoraFace* self = GST_MIVORAFACE(object);
    MivoraFaceTrackerDestroy(self->tracker);
    self->tracker = NULL;
    G_OBJECT_CLASS(gst_mivoraface_parent_class)->finalize(object);
}

static void gst_mivoraface_class_init(GstMivoraFaceClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    GstVideoFilterClass* filter_class = GST_VIDEO_FILTER_CLASS(klass);

    gobject_class->set_property = gst_mivoraface_set_property;
    gobject_class->get_property = gst_mivoraface_get_property;
    gobject_class->finalize = gst_mivoraface_finalize;
    g_object_class_install_property(
        gobject_class, PROP_DRAW,
        g_param_spec_boolean("draw", "Draw", "Draw the 68 landmark points of each face as red dots (not on GRAY8)",
                             DEFAULT_DRAW, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING));

    gst_element_class_set_static_metadata(
        element_class, "MivoraFace face tracker", "Filter/Analyzer/Video",
        "Finds and follows faces and their 68 landmark points; attaches a region-of-interest meta of type "
        "\"face\" per face and posts an element message per frame",
        "landmark_demo developers <dev@landmark-demo.invalid>");
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);

    trans_class->start = GST_DEBUG_FUNCPTR(gst_mivoraface_start);
    trans_class->stop = GST_DEBUG_FUNCPTR(gst_mivoraface_stop);
    trans_class->sink_event = GST_DEBUG_FUNCPTR(gst_mivoraface_sink_event);
    filter_class->set_info = GST_DEBUG_FUNCPTR(gst_mivoraface_set_info);
    filter_class->transform_frame_ip = GST_DEBUG_FUNCPTR(gst_mivoraface_transform_frame_ip);
}

static void gst_mivoraface_init(GstMivoraFace* self)
{
    self->tracker = NULL;
    self->draw = DEFAULT_DRAW;
}

static gboolean plugin_init(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(mivoraface_debug, "mivoraface", 0, "MivoraFace face tracker");
    return gst_element_register(plugin, "mivoraface", GST_RANK_NONE, GST_TYPE_MIVORAFACE);
}

#ifndef PACKAGE
#define PACKAGE "mivoraface"
#endif

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, mivoraface,
                  "Face detection and 68-point facial landmarks with MivoraFace", plugin_init, MIVORA_FACE_VERSION,
                  "MIT/X11", "landmark_demo", "https://example.invalid/landmark_demo")
