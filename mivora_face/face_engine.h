// FaceEngine: the library's whole per-process state and the work behind the
// C functions of mivora_face.h.
#ifndef MIVORA_FACE_FACE_ENGINE_H
#define MIVORA_FACE_FACE_ENGINE_H

#include "face_scan.h"
#include "landmark_model.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mivora {

// The model files the library reads.
struct ModelFiles {
    std::string landmarks; // packed or dlib format
    std::string detector;  // dlib's serialised frontal face detector; empty: the built-in copy
};

// $MIVORA_FACE_LANDMARK_MODEL when set and not empty; otherwise the packed
// model installed beside the library, or Debian's libdlib-data file.
ModelFiles defaultModelFiles();

// Requires: nothing; every argument is validated.
// Ensures:  the models load on a background thread from construction on, and
//           calls wait for them; calls are serialised; detect() remembers, for
//           the calling thread, the faces and a gray copy of the image, so that
//           landmarks() can answer afterwards without the caller's pixels, and
//           threads never see each other's detections. In video mode each
//           thread's faces are tracked from its previous frame.
class FaceEngine {
public:
    explicit FaceEngine(ModelFiles files);
    ~FaceEngine();

    FaceEngine(const FaceEngine&) = delete;
    FaceEngine& operator=(const FaceEngine&) = delete;

    // Same contract as MivoraFaceDetectStd.
    int detect(const unsigned char* pixels, int width, int height, int mode);
    // Same contract as MivoraGetFaceLandmark68Std.
    int landmarks(int faceIndex, float* values);

private:
    // Where a tracked face is searched for in the next frame: a region of the
    // frame, resized by scale so that the face is as large as the detector's
    // middle pyramid level expects.
    struct SearchWindow {
        cv::Rect region;
        double scale = 0;
        dlib::rectangle expected;
    };
    struct Face {
        dlib::rectangle rect;
        double confidence = 0;
        SearchWindow window;
    };
    struct Detection {
        bool valid = false;
        cv::Mat gray;
        std::vector<Face> faces;
        // Video mode only: frames since the last whole-frame search.
        bool tracking = false;
        int framesSinceFullScan = 0;
        cv::Mat searchPixels;
    };
    // The most recent detection of the calling thread.
    static Detection& callersDetection();

    void loadModels();
    // Waits for the background load; false when the landmark model is unusable.
    bool modelsReady(std::unique_lock<std::mutex>& lock);

    std::vector<Face> scanWholeFrame(const cv::Mat& gray);
    bool followFace(const cv::Mat& gray, Face& face, cv::Mat& searchPixels);
    void trackOrScan(Detection& detection);

    std::mutex mutex_;
    std::condition_variable loaded_;
    bool loading_ = true;
    const ModelFiles files_;
    std::unique_ptr<LandmarkModel> landmarkModel_;
    dlib::frontal_face_detector detector_;
    // The same detector limited to a few pyramid levels, for search windows.
    dlib::frontal_face_detector windowDetector_;
    FastestFaceScan faceScan_;
    std::thread loader_;
};

} // namespace mivora

#endif
