// SPDX-License-Identifier: MIT
// FaceTracker: one camera's faces from frame to frame (video mode), and the
// policy of when to confirm, follow, drop and search.
//
// Each face is followed from its own landmarks: the previous frame's points
// give where the face should be now, how large and at what roll. The
// detector confirms it in a small crop cut upright at that pose, so a tilted
// head is seen upright, and the landmark regression runs in the same upright
// frame. A face the detector cannot confirm (turned, covered, blurred) is
// followed from its landmarks for a few frames while the detector still
// scores it as weakly face-like, then dropped. The whole frame is searched
// when nothing is followed, when a face is lost, and every so often for new
// faces. No frame pays a whole search: when a face is missing the search is
// spread over three frames (a third of the pyramid's cost each), starting
// with the levels where the lost face was last seen; the search for new faces
// beside followed ones, which adds to following, over six. While nothing is
// followed, the frame turned 30 degrees either way is searched as well, a
// part each frame, so that a head coming into view tilted is found.
//
// With the face network installed (the BlazeFace family, cnn_face_detector.h)
// the network does the searching instead: one pass a frame, over the whole
// frame or, for small faces, over one of four overlapping tiles, so that
// faces turned in the image, small, or in profile are found. Beside followed
// faces (the small network looking at them) each pass is spread over two
// frames, so that no frame pays for a whole pass on top of following,
// unless a face was lost. Where the view
// has just changed (change_map.h), a tile pass looks there first, closer
// in: a small face that comes into view is looked for at once rather than
// when its tile's turn comes. A face the network finds is cut upright at the
// roll its eyes show and checked by the HOG detector there; when that
// confirms it (a small face: surely), it is reported at once. Otherwise it is reported
// only after a sure second look in the next frame (HOG in its crop, or a
// network: the crop network, or for a small face the whole-frame network at
// a scale that shows it well) and only while its landmarks agree with the
// box: a network alone sees faces in a cat or a coffee cup now and then,
// rarely surely twice in a row at the same place. A followed face the HOG
// detector cannot confirm is checked by the smaller crop network.
//
// Every face gets an id when it is first found, never given again by the
// same tracker. Faces are kept in the order they were first found (by id),
// so face 0 is the face followed longest; faces found together are ordered
// most prominent first. A face lost is looked for at once, wherever it was
// in that order, and found again where it was lost within one search, it
// takes back its id and its place.
#ifndef MIVORA_FACE_FACE_TRACKER_H
#define MIVORA_FACE_FACE_TRACKER_H

#include "change_map.h"
#include "cnn_face_detector.h"
#include "face_detector.h"
#include "face_pose.h"
#include "gray_image.h"
#include "landmark_model.h"
#include "landmark_smoother.h"

#include <functional>
#include <vector>

namespace mivora {

struct TrackedFace {
    // What callers see.
    long long id = 0;      // given when first found; never reused by the tracker
    FacePose box;          // the detector's box this frame, turned with the face
    double confidence = 0; // the detector's score (below 0 when followed unconfirmed)
    Shape points{};        // the steadied landmarks

    // What following needs.
    FacePose start;          // where the regression started
    bool startByHog = true;  // start is HOG's box (else the network's, mapped to it)
    FacePose fitted;         // fitted to the raw landmarks
    PoseOffset anchor;       // where the detector puts its box on this face, from fitted
    int anchorSamples = 0;   // frames averaged into anchor
    double velocity[4] = {}; // per frame: centre x, y, log size, angle
    int unconfirmedFrames = 0;
    bool hasLandmarks = false;
    // The network whose pass found the face (none: the HOG search).
    const CnnFaceDetector* foundBy = nullptr;
    LandmarkSmoother smoother;
};

// What finds faces: the HOG detector always; the face networks when they are
// installed (whole frame and tiles; a followed face's surroundings).
struct FaceFinders {
    FaceDetector& hog;
    CnnFaceDetector* network = nullptr;
    CnnFaceDetector* cropNetwork = nullptr;
};

// What the caller may set: the smallest face looked for (box width in
// pixels) and the networks' score threshold.
struct FindSettings {
    double minFaceSize = 20;
    float minScore = 0.5f;
};

// Where a network's box lies on a face relative to dlib's (face_tracker.cpp).
struct BoxToHog;

// One face of a still image.
struct StillFace {
    dlib::rectangle rect;  // the HOG detector's box; for the network's finds, pose upright
    FacePose pose;         // turned to the roll of the landmarks (network's finds)
    double confidence = 0; // HOG's score, or the network's (0.5 .. 1) for faces only it sees
    bool byHog = true;     // found by the HOG search: its landmarks are dlib's from rect
    Shape points{};        // the network's finds: their landmarks, in whole pixels
};

// A new face's first landmarks, read from start, its detector's box.
// Requires: startByHog when start is the HOG detector's box, whose place
//           the landmark model was trained from; false for a network's box,
//           mapped to HOG's only on average.
// Ensures:  the points are read again while they show a box far from start
//           (in roll; for a network's box also in size or place), from the
//           box they show (HOG's keeps its size and place): from a box far
//           off the regression gets only part of the way. start is the box
//           the points returned were read from; fitted is fitted to them.
Shape firstLandmarks(const LandmarkModel& landmarks, const ImageView& image, FacePose& start, FacePose& fitted,
                     bool startByHog);

// The landmark model, read when first needed; null when it cannot be.
using LandmarkLoader = std::function<const LandmarkModel*()>;

class FaceTracker {
public:
    // Forgets every face: the next frame starts afresh.
    void reset();
    // Requires: frame is the camera's next frame; landmarks is the whole
    //           model, and may be null only while faces() is empty.
    // Ensures:  faces() are this frame's faces in the order of their ids;
    //           faces followed from the previous frame keep their ids.
    void track(const ImageView& frame, const FaceFinders& finders, const LandmarkModel* landmarks);
    void track(const ImageView& frame, FaceDetector& detector, const LandmarkModel* landmarks)
    {
        track(frame, FaceFinders{detector}, landmarks);
    }
    // Takes effect from the next frame; the faces followed are kept.
    void setSettings(const FindSettings& settings) { settings_ = settings; }
    const FindSettings& settings() const { return settings_; }
    const std::vector<TrackedFace>& faces() const { return faces_; }
    // True when the next frame needs the landmark model: faces followed, or
    // found by the network and to be looked at again.
    bool needsLandmarks() const { return !faces_.empty() || !candidates_.empty(); }
    // Face i's landmarks, and its box turned to the roll they show; those of
    // a face found by this frame's whole-frame search are read now (so that
    // finding a face needs no landmark model).
    const Shape& points(std::size_t i, const LandmarkModel& landmarks);
    const FacePose& box(std::size_t i, const LandmarkModel& landmarks);
    // Still mode: the faces of one image, numbered as the detector ranks
    // them. The HOG detector's faces over the whole of gray are all kept, as
    // dlib finds them; the network's other finds are kept when HOG confirms
    // them cut upright at their roll, or the other network is sure of them,
    // and their landmarks agree with the box. The landmark model is loaded
    // only for such finds. Ensures: ok is false when it could not be.
    std::vector<StillFace> findStill(const ImageView& image, const GrayImage& gray, const FaceFinders& finders,
                                     const LandmarkLoader& landmarks, bool& ok);
    // A new id, never given before by this tracker (still images use them too).
    long long newId() { return nextId_++; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Gives back the turned search's images (after a very large frame).
    void releaseScratch();

private:
    // Where a detector sees the face expected at `expected`, if anywhere.
    struct Sighting {
        bool seen = false;      // something face-like there
        bool confirmed = false; // surely a face
        bool byHog = false;     // HOG's box (the regression's training box)
        FacePose detected;
        double confidence = 0;
    };
    // HOG confirms at minHogScore and more, the network at minNetworkScore;
    // foundBy: the second look at a face that network found last frame: by
    // the other network when there is one (a small face: the full-range
    // network, at a scale it sees well).
    Sighting look(const ImageView& frame, const FacePose& expected, const FaceFinders& finders, double minHogScore,
                  float minNetworkScore, const CnnFaceDetector* foundBy = nullptr);
    bool follow(TrackedFace& face, const ImageView& frame, const FaceFinders& finders, const LandmarkModel& landmarks);
    // A pass of the network search, begun on one frame (`share` of the
    // network's work; a quick pass: the crop network over the whole frame)
    // and finished on the same or the next: faces found are added to `found`
    // (confirmed by HOG in the frame it finishes on) or to candidates_ (to be
    // looked at again).
    void beginNetworkPass(const ImageView& frame, const FaceFinders& finders, const std::vector<TrackedFace>& found,
                          bool quick, double share);
    // grayIsThisFrame: gray_ already holds frame (else it is made when a
    // find needs it).
    void finishNetworkPass(const ImageView& frame, const FaceFinders& finders, std::vector<TrackedFace>& found,
                           const LandmarkModel* landmarks, bool grayIsThisFrame);
    // The network's strongest find matching the face expected, in a square
    // sideInFaces times its box wide around it (cut upright when the face is
    // rolled and mayTurnUpright), its box mapped to dlib's with toHog.
    struct NetworkFind {
        bool found = false;
        FacePose pose;
        float score = 0;
    };
    // True when a network's find is narrower than the smallest face looked
    // for, allowing for the scatter of the network's boxes.
    bool belowMinimum(const FacePose& pose) const;
    // True when the search looks for faces smaller than the whole frame
    // shows to the network, in tiles.
    bool searchesTiles(const ImageView& frame, const CnnFaceDetector& network) const;
    // Boxes, twice a face's size, around faces: where the view's changes
    // are the faces' own.
    const std::vector<PixelBox>& knownBoxes(const std::vector<TrackedFace>& faces);
    NetworkFind networkLook(CnnFaceDetector& network, const ImageView& frame, const FacePose& expected,
                            double sideInFaces, float minScore, const BoxToHog& toHog, bool mayTurnUpright);
    // A face just found at pose, unless it is one of faces already; its
    // first landmarks are read in gray_.
    static void addIfNew(std::vector<TrackedFace>& faces, const Detection& detection, const FacePose& pose);
    // Ids for the faces this frame found: a lost face's back where it was
    // lost, new ones to the rest, most prominent first; then all in id order.
    // Says whether any face got a new id, and any not found by smallNetwork.
    struct NewFaces {
        bool any = false;
        bool notBySmallNetwork = false;
    };
    NewFaces numberFound(std::vector<TrackedFace>& faces, bool foundByNetwork,
                         const CnnFaceDetector* smallNetwork = nullptr);
    void readFirstLandmarks(TrackedFace& face, const LandmarkModel& landmarks) const;

    std::vector<TrackedFace> faces_;
    // Found by the network alone last frame: reported once seen again.
    std::vector<TrackedFace> candidates_;
    FindSettings settings_;
    int networkLooksLeft_ = 0;               // crop network passes left this frame
    int networkPass_ = 0;                    // the next pass of the network search
    int networkPassesLeft_ = 0;              // passes of the search in progress
    bool passWaited_ = false;                // last frame's pass waited for a quieter frame
    bool foundFace_ = false;                 // a new face was found: others may have come with it
    bool smallPassDue_ = false;              // ... not by the small network over the whole frame
    bool quickPassDue_ = false;              // the search's next pass is the small network's
    CnnFaceDetector* passNetwork_ = nullptr; // the network of a pass begun and not finished
    bool tileOnChange_ = false;              // the last tile pass went to a change
    int nextTile_ = 0;                       // the tile whose turn is next
    // Where the view changed lately (updated on the frames the network
    // searches), and the frames since it was last updated.
    ChangeMap changes_;
    int framesSinceChanges_ = 0;
    std::vector<PixelBox> knownBoxes_; // scratch for knownBoxes()
    bool firstFrame_ = true;           // no frame tracked since the last reset
    long long nextId_ = 1;
    // Faces lost in the last few frames, while the search for them runs.
    struct LostFace {
        long long id;
        FacePose pose;
        int frames;
    };
    std::vector<LostFace> lost_;
    int width_ = 0, height_ = 0;
    int framesSinceSearch_ = 0;
    // Starts a whole-frame search in `parts` frames, beginning with the part
    // that holds the level where a face of this size is found (any part when
    // size is 0).
    void startSearch(FaceDetector& detector, int parts, double size);

    // A whole-frame search in progress: the parts it is split into (0: none),
    // the part for the next frame, and the parts still to be searched.
    int searchParts_ = 0;
    int searchPart_ = 0;
    int searchPartsLeft_ = 0;
    // While nothing is followed, after one upright search has found
    // nothing, the frame turned by +-kTurnedSearchAngle is searched too, a
    // part of it each frame: heads that enter tilted are found.
    void searchTurned(FaceDetector& detector, std::vector<TrackedFace>& found);
    int idleFrames_ = 0; // frames in a row with no face followed nor found (counted up to a limit)
    int turnedPart_ = 0;
    int turnedSign_ = 1;
    // The frame of the last whole-frame search, where new faces' first
    // landmarks are read, and that frame turned.
    GrayImage gray_, crop_, turned_;
    GrayImage networkCrop_; // a followed face cut upright for the crop network
    GrayImage shrunk_[2];   // the frame averaged down for the turned search
};

} // namespace mivora

#endif
