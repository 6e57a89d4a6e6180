// SPDX-License-Identifier: MIT
// The GStreamer element mivoraface in real pipelines: a generated clip of a
// test photo pushed through appsrc ! videoconvert ! FORMAT ! mivoraface, with
// the bus messages, the buffers' metas and the drawn dots checked.
#include "test_support.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/gstvideometa.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 480, kHeight = 360;
constexpr GstClockTime kFrameDuration = GST_SECOND / 30;

// Camera-like frames: the astronaut drifting over a textured background, or
// (withFace false) the background alone.
std::vector<cv::Mat> clipFrames(int count, bool withFace)
{
    cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    cv::resize(photo, photo, cv::Size(), 0.7, 0.7, cv::INTER_AREA);
    const cv::Mat background = test_support::texturedBackground(cv::Size(kWidth, kHeight));
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(withFace ? test_support::photoFrame(photo, background, i) : background.clone());
    return frames;
}

// What a run of the pipeline showed.
struct PipelineRun {
    int messages = 0;
    int framesWithFaceMessage = 0; // messages naming a face with its x
    int framesWithFaceMeta = 0;    // buffers with a valid "face" meta
    int redDots = 0;               // faces whose first point is drawn red
    int wrongTimes = 0;            // messages whose times are not the buffer's
    int facesWithoutId = 0;        // faces in messages without an id above 0
    int idChanges = 0;             // frames whose first face has another id than the last frame's
    bool eos = false;
    std::string error;
};

// Called on the streaming thread for every buffer mivoraface gives out.
struct ProbeData {
    std::mutex mutex;
    std::string format;
    int framesWithFaceMeta = 0;
    int redDots = 0;
};

bool isRed(const guint8* pixels, const GstVideoInfo& info, int x, int y)
{
    const guint8* p = pixels + y * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + x * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
    if (GST_VIDEO_INFO_IS_RGB(&info))
        return p[GST_VIDEO_INFO_COMP_OFFSET(&info, 0)] == 255 && p[GST_VIDEO_INFO_COMP_OFFSET(&info, 1)] == 0 &&
               p[GST_VIDEO_INFO_COMP_OFFSET(&info, 2)] == 0;
    return *p == 81; // the luma of red
}

GstPadProbeReturn inspectBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    auto* probe = static_cast<ProbeData*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstVideoInfo video;
    gst_video_info_from_caps(&video, caps);
    gst_caps_unref(caps);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    bool faceMeta = false;
    int redDots = 0;
    gpointer state = nullptr;
    while (GstMeta* meta =
               gst_buffer_iterate_meta_filtered(buffer, &state, GST_VIDEO_REGION_OF_INTEREST_META_API_TYPE)) {
        auto* roi = reinterpret_cast<GstVideoRegionOfInterestMeta*>(meta);
        GstStructure* params = gst_video_region_of_interest_meta_get_param(roi, "mivoraface");
        if (roi->roi_type != g_quark_from_string("face") || params == nullptr || roi->w == 0 || roi->h == 0)
            continue;
        const GValue* points = gst_structure_get_value(params, "points");
        double confidence = 0;
        if (points == nullptr || gst_value_array_get_size(points) != 136 ||
            !gst_structure_get_double(params, "confidence", &confidence))
            continue;
        faceMeta = true;
        const float x = g_value_get_float(gst_value_array_get_value(points, 0));
        const float y = g_value_get_float(gst_value_array_get_value(points, 1));
        const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
        if (px >= 0 && py >= 0 && px < kWidth && py < kHeight && isRed(map.data, video, px, py))
            ++redDots;
    }
    gst_buffer_unmap(buffer, &map);
    std::lock_guard<std::mutex> lock(probe->mutex);
    probe->framesWithFaceMeta += faceMeta;
    probe->redDots += redDots;
    return GST_PAD_PROBE_OK;
}

// Pushes frames through videoconvert into FORMAT and mivoraface, to EOS.
PipelineRun runPipeline(const std::vector<cv::Mat>& frames, const std::string& format, bool draw = true)
{
    const std::string description =
        "appsrc name=source format=time block=true caps=video/x-raw,format=BGR,width=" + std::to_string(kWidth) +
        ",height=" + std::to_string(kHeight) + ",framerate=30/1 ! videoconvert ! video/x-raw,format=" + format +
        " ! mivoraface name=face draw=" + (draw ? "true" : "false") + " ! fakesink";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    PipelineRun run;
    gint64 lastId = 0;
    if (pipeline == nullptr) {
        run.error = error ? error->message : "cannot make the pipeline";
        g_clear_error(&error);
        return run;
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GstElement* face = gst_bin_get_by_name(GST_BIN(pipeline), "face");
    GstPad* out = gst_element_get_static_pad(face, "src");
    ProbeData probe;
    gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER, inspectBuffer, &probe, nullptr);
    gst_object_unref(out);

    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const cv::Mat& frame = frames[i];
        GstBuffer* buffer = gst_buffer_new_memdup(frame.data, frame.total() * frame.elemSize());
        GST_BUFFER_PTS(buffer) = i * kFrameDuration;
        GST_BUFFER_DURATION(buffer) = kFrameDuration;
        if (gst_app_src_push_buffer(GST_APP_SRC(source), buffer) != GST_FLOW_OK)
            break; // the bus says why
    }
    gst_app_src_end_of_stream(GST_APP_SRC(source));

    GstBus* bus = gst_element_get_bus(pipeline);
    while (GstMessage* message = gst_bus_timed_pop_filtered(
               bus, 60 * GST_SECOND,
               static_cast<GstMessageType>(GST_MESSAGE_ELEMENT | GST_MESSAGE_EOS | GST_MESSAGE_ERROR))) {
        const GstMessageType type = GST_MESSAGE_TYPE(message);
        if (type == GST_MESSAGE_ERROR) {
            GError* failure = nullptr;
            gst_message_parse_error(message, &failure, nullptr);
            run.error = failure->message;
            g_error_free(failure);
        } else if (type == GST_MESSAGE_EOS) {
            run.eos = true;
        } else if (GST_MESSAGE_SRC(message) == GST_OBJECT(face)) {
            const GstStructure* s = gst_message_get_structure(message);
            ++run.messages;
            const GValue* faces = gst_structure_get_value(s, "faces");
            bool named = false;
            for (guint i = 0; faces != nullptr && i < gst_value_list_get_size(faces); ++i) {
                const GstStructure* f = gst_value_get_structure(gst_value_list_get_value(faces, i));
                guint x = 0;
                named = named || (gst_structure_get_uint(f, "x", &x) && gst_structure_has_field(f, "width") &&
                                  gst_structure_has_field(f, "points"));
                gint64 id = 0;
                if (!gst_structure_get_int64(f, "id", &id) || id <= 0)
                    ++run.facesWithoutId;
                else if (i == 0 && lastId != 0 && id != lastId)
                    ++run.idChanges;
                if (i == 0 && id > 0)
                    lastId = id;
            }
            run.framesWithFaceMessage += named;
            guint64 timestamp = 0, runningTime = 0;
            if (!gst_structure_get_uint64(s, "timestamp", &timestamp) ||
                !gst_structure_get_uint64(s, "running-time", &runningTime) || timestamp % kFrameDuration != 0 ||
                runningTime != timestamp || timestamp / kFrameDuration != static_cast<guint64>(run.messages - 1))
                ++run.wrongTimes;
        }
        gst_message_unref(message);
        if (run.eos || !run.error.empty())
            break;
    }
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(face);
    gst_object_unref(source);
    gst_object_unref(pipeline);
    run.framesWithFaceMeta = probe.framesWithFaceMeta;
    run.redDots = probe.redDots;
    return run;
}

class MivoraFaceElement : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The plugin from the build tree, loaded in this process (a
        // sanitizer build's plugin loads only into an instrumented one),
        // with a registry of the test's own.
        g_setenv("GST_PLUGIN_PATH", GST_PLUGIN_DIR, TRUE);
        g_setenv("GST_REGISTRY_FORK", "no", TRUE);
        g_setenv("GST_REGISTRY", GST_TEST_REGISTRY, TRUE);
        gst_init(nullptr, nullptr);
    }
};

} // namespace

// 300 frames with a face, as each kind of frame a pipeline may deliver:
// a face named on at least 200 frames, with its metas and red dots, the
// buffers' times in the messages, and a clean end of stream.
TEST_F(MivoraFaceElement, FollowsTheFaceOfAClipInEachFormat)
{
    const std::vector<cv::Mat> frames = clipFrames(300, true);
    for (const char* format : {"NV12", "I420", "RGBA", "BGR"}) {
        const PipelineRun run = runPipeline(frames, format);
        EXPECT_EQ(run.error, "") << format;
        EXPECT_TRUE(run.eos) << format;
        EXPECT_EQ(run.messages, 300) << format;
        EXPECT_GE(run.framesWithFaceMessage, 200) << format;
        std::printf("%s: %d messages, a face named in %d, face metas on %d frames, %d red dots\n", format, run.messages,
                    run.framesWithFaceMessage, run.framesWithFaceMeta, run.redDots);
        EXPECT_EQ(run.framesWithFaceMeta, run.framesWithFaceMessage) << format;
        EXPECT_GE(run.redDots, run.framesWithFaceMeta) << format;
        EXPECT_EQ(run.wrongTimes, 0) << format;
        // The face is followed all along: the same id on (nearly) every frame.
        EXPECT_EQ(run.facesWithoutId, 0) << format;
        EXPECT_LE(run.idChanges, 2) << format;
    }
}

TEST_F(MivoraFaceElement, FindsNothingInAFaceFreeClip)
{
    const PipelineRun run = runPipeline(clipFrames(60, false), "NV12");
    EXPECT_EQ(run.error, "");
    EXPECT_TRUE(run.eos);
    EXPECT_EQ(run.messages, 60);
    EXPECT_EQ(run.framesWithFaceMessage, 0);
    EXPECT_EQ(run.framesWithFaceMeta, 0);
}

TEST_F(MivoraFaceElement, DrawsNothingWhenDrawIsOff)
{
    for (const char* format : {"RGBx", "YUY2"}) {
        const PipelineRun run = runPipeline(clipFrames(20, true), format, false);
        EXPECT_EQ(run.error, "") << format;
        EXPECT_GT(run.framesWithFaceMeta, 10) << format;
        EXPECT_EQ(run.redDots, 0) << format;
        const PipelineRun drawn = runPipeline(clipFrames(20, true), format, true);
        EXPECT_GE(drawn.redDots, drawn.framesWithFaceMeta) << format;
    }
}

namespace {

std::atomic<int> forgotten{0};

// Counts the element's "faces forgotten" debug lines.
void countResets(GstDebugCategory* category, GstDebugLevel, const gchar*, const gchar*, gint, GObject*,
                 GstDebugMessage* message, gpointer)
{
    if (std::string(gst_debug_category_get_name(category)) == "mivoraface" &&
        std::string(gst_debug_message_get(message)) == "faces forgotten")
        ++forgotten;
}

} // namespace

// A flush (as a seek makes) and a change of caps make the element forget the
// faces it follows; frames in between do not.
TEST_F(MivoraFaceElement, StartsAfreshOnAFlushAndOnNewCaps)
{
    gst_debug_set_threshold_for_name("mivoraface", GST_LEVEL_DEBUG);
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(countResets, nullptr, nullptr);
    // A seekable source (that goes back to where it is asked).
    GstElement* pipeline = gst_parse_launch("appsrc name=source format=time stream-type=seekable ! videoconvert ! "
                                            "video/x-raw,format=I420 ! mivoraface name=face ! fakesink",
                                            nullptr);
    ASSERT_NE(pipeline, nullptr);
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    g_signal_connect(source, "seek-data", G_CALLBACK(+[](GstElement*, guint64, gpointer) -> gboolean { return TRUE; }),
                     nullptr);
    const auto push = [&](const cv::Mat& frame, int index) {
        GstBuffer* buffer = gst_buffer_new_memdup(frame.data, frame.total() * frame.elemSize());
        GST_BUFFER_PTS(buffer) = index * kFrameDuration;
        GST_BUFFER_DURATION(buffer) = kFrameDuration;
        return gst_app_src_push_buffer(GST_APP_SRC(source), buffer) == GST_FLOW_OK;
    };
    const auto caps = [](int width, int height) {
        return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT, width, "height",
                                   G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, 30, 1, nullptr);
    };
    GstCaps* first = caps(kWidth, kHeight);
    gst_app_src_set_caps(GST_APP_SRC(source), first);
    gst_caps_unref(first);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::vector<cv::Mat> frames = clipFrames(10, true);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(push(frames[i], i));
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
    const int atStart = forgotten.load();
    EXPECT_GE(atStart, 1) << "a tracker of its own for the stream";

    // A flushing seek: everything from the start again.
    ASSERT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 0));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(push(frames[5 + i], i));
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
    const int afterFlush = forgotten.load();
    EXPECT_GT(afterFlush, atStart);

    // New caps: a smaller frame.
    GstCaps* smaller = caps(kWidth / 2, kHeight / 2);
    gst_app_src_set_caps(GST_APP_SRC(source), smaller);
    gst_caps_unref(smaller);
    cv::Mat half;
    cv::resize(frames[0], half, cv::Size(kWidth / 2, kHeight / 2));
    ASSERT_TRUE(push(half, 5));
    gst_app_src_end_of_stream(GST_APP_SRC(source));
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
    gst_message_unref(end);
    gst_object_unref(bus);
    EXPECT_GT(forgotten.load(), afterFlush);

    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(source);
    gst_object_unref(pipeline);
    gst_debug_remove_log_function(countResets);
    gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
}
