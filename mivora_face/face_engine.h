// FaceEngine: the library's whole per-process state and the work behind the
// C functions of mivora_face.h.
#ifndef MIVORA_FACE_FACE_ENGINE_H
#define MIVORA_FACE_FACE_ENGINE_H

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace mivora {

// The model file to read: $MIVORA_FACE_LANDMARK_MODEL when set and not empty,
// otherwise the path of Debian's libdlib-data.
std::string landmarkModelPath();

// Reads a 68-point shape predictor from path into predictor.
// Returns an empty string on success, otherwise why the file is unusable.
std::string loadLandmarkModel(const std::string& path, dlib::shape_predictor& predictor);

// Requires: nothing; every argument is validated.
// Ensures:  calls are serialised; detect() remembers, for the calling thread,
//           the faces and a gray copy of the image, so that landmarks() can
//           answer afterwards without the caller's pixels, and threads never
//           see each other's detections.
class FaceEngine {
public:
    explicit FaceEngine(std::string modelPath);

    FaceEngine(const FaceEngine&) = delete;
    FaceEngine& operator=(const FaceEngine&) = delete;

    // Same contract as MivoraFaceDetectStd.
    int detect(const unsigned char* pixels, int width, int height, int mode);
    // Same contract as MivoraGetFaceLandmark68Std.
    int landmarks(int faceIndex, float* values);

private:
    enum class ModelState { NotLoaded, Ready, Unavailable };

    // Loads the model on first use; reports a failure on stderr once.
    bool modelReady();

    struct Detection {
        bool valid = false;
        cv::Mat gray;
        std::vector<dlib::rectangle> faces;
    };
    // The most recent detection of the calling thread.
    static Detection& callersDetection();

    std::mutex mutex_;
    const std::string modelPath_;
    ModelState modelState_ = ModelState::NotLoaded;
    dlib::frontal_face_detector detector_;
    dlib::shape_predictor predictor_;
};

} // namespace mivora

#endif
