// SPDX-License-Identifier: MIT
#include "face_tracker.h"

#include "face_order.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mivora {

// A network's box, mapped to where dlib's detector puts its box on the same
// face (the regression was trained from dlib's boxes): this many times as
// wide, its centre moved down the face by this many network box widths. The
// networks' boxes are upright: on a face rolled by 30, 45 and 60 degrees
// they are narrower by these natural logarithms of the ratio (interpolated
// between those angles, held beyond 60).
struct BoxToHog {
    double width, down;
    double shrink30, shrink45, shrink60;
};

namespace {

// The crop reaches this far beyond the expected box on each side, as a
// fraction of its width: room for the face to move and for the detector.
constexpr double kCropMargin = 0.25;
// A detection in the crop is the followed face when its centre is this
// close to the expected one (fraction of the box) and its size this near.
constexpr double kCropMatchDistance = 0.35;
constexpr double kCropMatchScale = 1.5;
// Followed without the detector's confirmation only while it still scores
// the crop at least this high: a face turned, covered or blurred keeps a
// weak score, an empty background does not.
constexpr double kWeakestFace = -0.5;
// At most this many frames in a row without confirmation.
constexpr int kMaxUnconfirmedFrames = 10;
// The regression starts from a box placed on the face as the detector places
// its boxes (the model was trained from the detector's boxes), moved with
// the landmarks, and placed afresh when the detector's box is this far from
// it (fraction of the size, and size ratio): beyond two HOG cells and one
// pyramid step, so that a face between two cells or two pyramid levels,
// where the detector's box flips from one to the other, keeps its box.
constexpr double kReanchorDistance = 0.2;
constexpr double kReanchorScale = 1.3;
// Frames over which the detector's box is averaged after it is placed.
constexpr int kAnchorFrames = 8;
// The regression keeps its start box while the face moves less than this
// (fraction of the size, size ratio - 1, radians): a still head is read
// from the same box every frame.
constexpr double kStillDistance = 0.02;
constexpr double kStillScale = 0.02;
constexpr double kStillAngle = 0.02;
// A followed face's points are the mean of regressions from its start box
// and from that box moved this far (in face sizes) either way along its
// diagonal: each reads other pixels, so camera noise in them partly cancels
// out, and the points need less smoothing, which is less lag.
constexpr double kStartSpread = 0.03;
// Share of the last frame's motion expected again in this frame.
constexpr double kMotionCarried = 0.8;
// New faces are looked for in the whole frame this often while following.
constexpr int kSearchInterval = 30;
// A whole-frame search for a missing face is spread over this many frames
// (a face coming into view is found within as many), the periodic one for
// new faces over twice as many (it comes on top of following).
constexpr int kSearchParts = 3;
constexpr int kPeriodicSearchParts = 6;
// The detector finds most heads tilted by up to about 30 degrees, few
// beyond; the frame turned by 30 degrees either way finds them up to about
// 60. Each turned search is spread over this many frames (parts of about
// equal cost), on top of the upright one, and looks only for faces of about
// this fraction of the frame's height or more (the nearest pyramid level): a
// head that enters tilted is near the camera.
constexpr double kTurnedSearchAngle = 30 * M_PI / 180;
constexpr int kTurnedSearchParts = 4;
constexpr double kTurnedSearchSmallestFace = 1.0 / 5;
// A face found at a roll this far from its own is regressed again from its
// box turned to the roll the landmarks show: from a box at the wrong roll
// the regression gets only part of the way there. At most this many passes.
constexpr double kRestartAngle = 6 * M_PI / 180;
constexpr int kFirstRegressionPasses = 3;
// A network's box this far in place (in face sizes) or size (ratio) from the
// box the points show is moved there (HOG's box is where the regression
// expects it).
constexpr double kRestartScale = 1.16;
constexpr double kRestartDistance = 0.15;

// Fitted with `mivora_cnn_bench --fit-boxes` on the faces both detectors
// find in dlib's example photos at three scales, upright and turned by up to
// 60 degrees either way (medians of 142 to 160 faces per angle; the middle
// half of the upright ratios lie within 0.07 and 0.08 of them).
constexpr BoxToHog kFullNetworkBox{0.923, 0.0, -0.145, -0.224, -0.217};
constexpr BoxToHog kCropNetworkBox{1.003, -0.041, -0.125, -0.189, -0.144};
// The network's boxes of a face of the smallest size looked for come out
// down to this fraction of it (20 px faces: 16 to 21 px), so finds are kept
// down to that.
constexpr double kFaceSizeScatter = 0.8;
// The network finds faces down to about this many of its input pixels wide;
// smaller faces are looked for in tiles of the frame.
constexpr double kNetworkSmallestFace = 14;
// Tiles: four, each this fraction of the frame a side, overlapping.
constexpr double kTileSide = 0.6;
// The network looks at a followed face in a square this many times its box
// wide (the crop network's faces fill about half of its input).
constexpr double kNetworkLookSide = 2.0;
// A face rolled by more than this is cut upright for the network's look.
constexpr double kUprightLookAngle = 20 * M_PI / 180;
// A face narrower than this is enlarged about three times or more in the HOG
// detector's crop and more than twice in the crop network's: their scores
// there are weak evidence (HOG's weak positive score on a board's chip was a
// false face). Such a face that the network alone found is reported only
// after a sure look, and its second look is the whole-frame network's, in a
// square where it is about kSmallLookFace of its input pixels wide (it is
// surest of faces of 20 to 40).
constexpr double kSmallFace = 32.0;
constexpr double kSmallLookFace = 24.0;
// Network looks at followed faces per frame (each about 2 ms).
constexpr int kNetworkLooksPerFrame = 2;
// A face found by the network alone is reported when its landmarks agree
// with the box the detectors give it: centre within this fraction of the
// size, size within this ratio.
constexpr double kAgreementDistance = 0.35;
constexpr double kAgreementScale = 1.5;
// The score at which the network is sure enough to confirm a face it or the
// other network found before.
constexpr float kSureScore = 0.75f;
// Network passes in one search (with tiles: whole, two tiles, whole, two tiles).
constexpr int kNetworkSearchPasses = 6;
// A pass beside followed faces runs this share of the network's work on its
// first frame (with reading the frame into the network, about half the
// time), the rest on the next. Such a search takes twice its passes in
// frames, so it starts this many frames after the last one ended: one begins
// every 35 frames or so (a busy frame's pass waits a frame), as the HOG
// search does.
constexpr double kSpreadPassShare = 0.35;
constexpr int kNetworkSearchInterval = kSearchInterval - kNetworkSearchPasses;
// The full-range network looks at a face in a square this many times its box
// wide (its faces are mostly smaller than half its input).
constexpr double kFullNetworkLookSide = 3.0;
// Where the view changes, something may have come into view: a tile pass
// (at most every other one) goes to the strongest change instead of to the
// next tile, so that a small face is looked for where it came within a frame
// or two rather than when its tile's turn comes (once in six frames). The
// smallest face looked for spans this many cells of the change map (cells
// of at least kChangeCellSmallest px), and a map not updated for more than
// kStaleChangeFrames frames starts afresh (the search while following comes
// every so often, when the view has moved on).
constexpr double kChangeCellsPerFace = 2.5;
constexpr int kChangeCellSmallest = 4;
constexpr int kStaleChangeFrames = 3;
// The pass on a change looks at a square this many times the change wide,
// when that is smaller than a tile, but no smaller than the network's input:
// a small face is seen larger than in a tile, and never enlarged.
constexpr double kChangeLookSide = 2.0;
// A view that changed as a whole is looked at by the small network over the
// whole frame (instead of a tile) within this many frames of the change.
constexpr int kViewChangeFrames = 3;

// Scales by `scale` and turns by `angle` about (u0, v0), which lands on (x0, y0).
Affine turnedAbout(double scale, double angle, double u0, double v0, double x0, double y0)
{
    const double c = scale * std::cos(angle), s = scale * std::sin(angle);
    Affine a;
    a.m[0] = c;
    a.m[1] = -s;
    a.m[2] = s;
    a.m[3] = c;
    a.m[4] = x0 - (c * u0 - s * v0);
    a.m[5] = y0 - (s * u0 + c * v0);
    return a;
}

// Maps crop pixels to the frame: the pose's box upright, kCropFaceWidth wide.
Affine cropToFrame(const FacePose& pose, int side)
{
    const double centre = (side - 1) / 2.0;
    return turnedAbout((pose.size + 1.0) / kCropFaceWidth, pose.angle, centre, centre, pose.cx, pose.cy);
}

// True when a's centre lies within distance times b's size of b's, and its
// size within a ratio of scale of b's.
bool within(const FacePose& a, const FacePose& b, double distance, double scale)
{
    const double ratio = a.size / b.size;
    return std::hypot(a.cx - b.cx, a.cy - b.cy) < distance * b.size && ratio < scale && ratio > 1 / scale;
}

bool stillNear(const FacePose& a, const FacePose& b)
{
    return std::hypot(a.cx - b.cx, a.cy - b.cy) < kStillDistance * b.size &&
           std::abs(a.size / b.size - 1.0) < kStillScale && std::abs(angleBetween(a.angle, b.angle)) < kStillAngle;
}

bool sameFace(const FacePose& followed, const FacePose& other)
{
    const double ratio = other.size / followed.size;
    return std::hypot(other.cx - followed.cx, other.cy - followed.cy) < 0.5 * std::max(other.size, followed.size) &&
           ratio > 0.5 && ratio < 2.0;
}

// How much narrower a network's box is on a face rolled by `angle`.
double rolledShrink(const BoxToHog& toHog, double angle)
{
    double degrees = std::abs(angleBetween(angle, 0)) * 180 / M_PI;
    if (degrees > 90)
        degrees = 180 - degrees; // upside down: as narrow as at the mirrored roll
    if (degrees <= 30)
        return toHog.shrink30 * degrees / 30;
    if (degrees <= 45)
        return toHog.shrink30 + (toHog.shrink45 - toHog.shrink30) * (degrees - 30) / 15;
    if (degrees <= 60)
        return toHog.shrink45 + (toHog.shrink60 - toHog.shrink45) * (degrees - 45) / 15;
    return toHog.shrink60;
}

// Where dlib's detector would put its box on a face the network found,
// turned to the roll of the network's eye keypoints.
FacePose poseOf(const CnnFace& face, const BoxToHog& toHog)
{
    FacePose pose;
    // Keypoints 0 and 1: the subject's right eye (on the left of an upright
    // face), then the left.
    pose.angle = std::atan2(face.keypoints[3] - face.keypoints[1], face.keypoints[2] - face.keypoints[0]);
    const double width = face.width / std::exp(rolledShrink(toHog, pose.angle));
    const double down = toHog.down * width;
    pose.cx = face.centreX - down * std::sin(pose.angle);
    pose.cy = face.centreY + down * std::cos(pose.angle);
    pose.size = toHog.width * width - 1.0;
    return pose;
}

// The box mapping of the network that found a face.
const BoxToHog& boxToHog(const CnnFaceDetector* network, const FaceFinders& finders)
{
    return network == finders.cropNetwork ? kCropNetworkBox : kFullNetworkBox;
}

// True when pose is one of faces already.
bool isKnown(const std::vector<TrackedFace>& faces, const FacePose& pose)
{
    return std::any_of(faces.begin(), faces.end(), [&](const TrackedFace& face) {
        return sameFace(face.hasLandmarks ? face.fitted : face.start, pose);
    });
}

// The scale at which a network sees the whole frame.
double wholeScale(const ImageView& frame, const CnnFaceDetector& network)
{
    return std::min(static_cast<double>(network.inputWidth()) / frame.width,
                    static_cast<double>(network.inputHeight()) / frame.height);
}

// True when a detection centred offset (dx, dy) from where a face of box
// width expectedWidth was expected, and width wide, is that face.
bool isSmall(const FacePose& pose) { return pose.size + 1 < kSmallFace; }

bool matchesExpected(double dx, double dy, double width, double expectedWidth)
{
    const double ratio = width / expectedWidth;
    return std::hypot(dx, dy) < kCropMatchDistance * expectedWidth && ratio < kCropMatchScale &&
           ratio > 1 / kCropMatchScale;
}

bool agrees(const FacePose& fitted, const FacePose& box)
{
    return within(fitted, box, kAgreementDistance, kAgreementScale);
}

Shape regress(const LandmarkModel& landmarks, const ImageView& frame, const FacePose& start)
{
    Shape raw;
    landmarks.predict(frame, start.toImage(), raw.data());
    return raw;
}

// The mean of the regressions from start and from start moved by
// kStartSpread either way along its diagonal (in the face's own frame).
Shape meanRegression(const LandmarkModel& landmarks, const ImageView& frame, const FacePose& start)
{
    const double dx = kStartSpread * start.size * std::cos(start.angle + M_PI / 4);
    const double dy = kStartSpread * start.size * std::sin(start.angle + M_PI / 4);
    FacePose left = start, right = start;
    left.cx -= dx, left.cy -= dy;
    right.cx += dx, right.cy += dy;
    const Shape a = regress(landmarks, frame, start), b = regress(landmarks, frame, left),
                c = regress(landmarks, frame, right);
    Shape mean;
    for (int i = 0; i < kShapeValueCount; ++i)
        mean[i] = (a[i] + b[i] + c[i]) / 3;
    return mean;
}

} // namespace

Shape firstLandmarks(const LandmarkModel& landmarks, const ImageView& image, FacePose& start, FacePose& fitted,
                     bool startByHog)
{
    Shape raw = regress(landmarks, image, start);
    fitted = FacePose::fit(landmarks.meanShape(), raw);
    for (int pass = 1;
         pass < kFirstRegressionPasses && (std::abs(angleBetween(fitted.angle, start.angle)) > kRestartAngle ||
                                           (!startByHog && !within(fitted, start, kRestartDistance, kRestartScale)));
         ++pass) {
        if (startByHog)
            start.angle = fitted.angle;
        else
            start = fitted;
        raw = regress(landmarks, image, start);
        fitted = FacePose::fit(landmarks.meanShape(), raw);
    }
    return raw;
}

void FaceTracker::reset()
{
    faces_.clear();
    candidates_.clear();
    networkPass_ = networkPassesLeft_ = 0;
    passNetwork_ = nullptr;
    passWaited_ = tileOnChange_ = foundFace_ = smallPassDue_ = quickPassDue_ = false;
    nextTile_ = 0;
    changes_.reset();
    framesSinceChanges_ = 0;
    firstFrame_ = true;
    lost_.clear();
    width_ = height_ = 0;
    framesSinceSearch_ = 0;
    searchParts_ = searchPart_ = searchPartsLeft_ = 0;
    idleFrames_ = turnedPart_ = 0;
    turnedSign_ = 1;
}

void FaceTracker::searchTurned(FaceDetector& detector, std::vector<TrackedFace>& found)
{
    // From the level of the smallest face looked for (never the pyramid's
    // first, the costliest). Each part is warped straight to the scale of
    // its first level.
    const int lowest = std::max(1, detector.levelOf(height_ * kTurnedSearchSmallestFace));
    const double step = std::pow(6.0 / 5.0, lowest);
    const std::vector<int> firsts =
        detector.levelParts(static_cast<int>(std::lround(width_ / step)), static_cast<int>(std::lround(height_ / step)),
                            kTurnedSearchParts);
    const int parts = static_cast<int>(firsts.size()) - 1;
    turnedPart_ %= parts;
    const int first = firsts[turnedPart_], last = firsts[turnedPart_ + 1] - 1;
    const double angle = turnedSign_ * kTurnedSearchAngle;
    if (++turnedPart_ == parts) {
        turnedPart_ = 0;
        turnedSign_ = -turnedSign_;
    }
    const double scale = step * std::pow(6.0 / 5.0, first); // frame pixels per turned pixel
    const int width = static_cast<int>(std::lround(width_ / scale));
    const int height = static_cast<int>(std::lround(height_ / scale));
    if (last < first || width < kSmallestCrop || height < kSmallestCrop)
        return;

    // Turned about the frame's centre, so that a head tilted by the angle
    // stands upright in it.
    const Affine toFrame =
        turnedAbout(scale, angle, (width - 1) / 2.0, (height - 1) / 2.0, (width_ - 1) / 2.0, (height_ - 1) / 2.0);
    // Sampled from the frame averaged down by 2, 4, ... where the turned
    // image is that much smaller, so that sampling skips no pixel.
    const GrayImage* source = &gray_;
    Affine toSource = toFrame;
    for (int next = 0; std::hypot(toSource.m[0], toSource.m[2]) >= 2 && source->width() >= 2 && source->height() >= 2;
         next ^= 1) {
        halveGray(*source, shrunk_[next]);
        source = &shrunk_[next];
        for (double& m : toSource.m)
            m /= 2;
        toSource.m[4] -= 0.25; // a halved pixel i is centred on pixel 2i + 0.5
        toSource.m[5] -= 0.25;
    }
    warpGrayFast(*source, toSource, width, height, turned_);
    const auto inFrame = [&](double u, double v) {
        const double x = toFrame.x(u, v), y = toFrame.y(u, v);
        return x >= 0 && y >= 0 && x <= width_ - 1 && y <= height_ - 1;
    };
    for (const Detection& d : detector.scanLevels(turned_, 0, last - first)) {
        // Beyond the frame the turned image repeats its edges: a face seen
        // partly there is left to the upright search.
        const dlib::rectangle& r = d.rect;
        if (!inFrame(r.left(), r.top()) || !inFrame(r.right(), r.top()) || !inFrame(r.left(), r.bottom()) ||
            !inFrame(r.right(), r.bottom()))
            continue;
        const FacePose upright = FacePose::of(d.rect);
        FacePose pose;
        pose.cx = toFrame.x(upright.cx, upright.cy);
        pose.cy = toFrame.y(upright.cx, upright.cy);
        pose.size = (upright.size + 1) * scale - 1;
        pose.angle = angle;
        addIfNew(found, d, pose);
    }
}

std::vector<StillFace> FaceTracker::findStill(const ImageView& image, const GrayImage& gray, const FaceFinders& finders,
                                              const LandmarkLoader& loadLandmarks, bool& ok)
{
    ok = true;
    passNetwork_ = nullptr; // its networks run here
    std::vector<StillFace> faces;
    for (const Detection& d : finders.hog.scanWholeFrame(gray)) {
        StillFace face;
        face.rect = d.rect;
        face.pose = FacePose::of(d.rect);
        face.confidence = d.confidence;
        faces.push_back(face);
    }
    // The small network over the whole image (it costs little beside the HOG
    // search, and sees faces rolled, turned and in hard light); what it
    // finds that HOG did not is checked, as a face the video search finds.
    CnnFaceDetector* whole = finders.cropNetwork != nullptr ? finders.cropNetwork : finders.network;
    CnnFaceDetector* second = whole == finders.cropNetwork ? finders.network : nullptr;
    if (whole == nullptr)
        return faces;
    const std::size_t foundByHog = faces.size();
    const FaceFinders hogOnly{finders.hog};
    for (const CnnFace& f : whole->detect(image, settings_.minScore)) {
        FacePose start = poseOf(f, boxToHog(whole, finders));
        if (belowMinimum(start) ||
            std::any_of(faces.begin(), faces.end(), [&](const StillFace& k) { return sameFace(k.pose, start); }))
            continue;
        const Sighting sighting = look(image, start, hogOnly, 0.0, 1.0f);
        double confidence = sighting.confidence;
        if (sighting.confirmed) {
            start = sighting.detected;
        } else {
            // A second opinion: the other network, sure of a face there.
            if (second == nullptr)
                continue;
            const NetworkFind find = networkLook(*second, image, start, kFullNetworkLookSide,
                                                 std::max(settings_.minScore, kSureScore), kFullNetworkBox, false);
            if (!find.found)
                continue;
            // The full-range network's box: the one mapped to dlib's.
            start = find.pose;
            confidence = find.score;
        }
        const LandmarkModel* model = loadLandmarks();
        if (model == nullptr) {
            ok = false;
            return {};
        }
        const FacePose box = start;
        FacePose fitted;
        const Shape raw = firstLandmarks(*model, ImageView::of(gray), start, fitted, sighting.confirmed);
        if (!agrees(fitted, box))
            continue;
        StillFace face;
        face.byHog = false;
        face.pose = box;
        face.pose.angle = fitted.angle;
        face.rect = face.pose.rect();
        face.confidence = confidence;
        for (std::size_t i = 0; i < raw.size(); ++i)
            face.points[i] = std::round(raw[i]);
        faces.push_back(face);
    }
    if (faces.size() > foundByHog) {
        std::stable_sort(faces.begin(), faces.end(), [](const StillFace& a, const StillFace& b) {
            return numberedBefore(dlib::rect_detection{a.confidence, 0, a.rect},
                                  dlib::rect_detection{b.confidence, 0, b.rect});
        });
    }
    return faces;
}

void FaceTracker::startSearch(FaceDetector& detector, int parts, double size)
{
    const std::vector<int> firsts = detector.levelParts(width_, height_, parts);
    searchParts_ = parts;
    searchPartsLeft_ = static_cast<int>(firsts.size()) - 1;
    if (size > 0) {
        const int level = detector.levelOf(size);
        searchPart_ = 0;
        while (searchPart_ + 1 < searchPartsLeft_ && firsts[searchPart_ + 1] <= level)
            ++searchPart_;
    } else {
        searchPart_ %= searchPartsLeft_;
    }
}

void FaceTracker::releaseScratch()
{
    turned_ = GrayImage();
    shrunk_[0] = GrayImage();
    shrunk_[1] = GrayImage();
}

void FaceTracker::addIfNew(std::vector<TrackedFace>& faces, const Detection& detection, const FacePose& pose)
{
    if (isKnown(faces, pose))
        return;
    TrackedFace face; // numbered by numberFound
    face.box = face.start = pose;
    face.confidence = detection.confidence;
    faces.push_back(std::move(face));
}

namespace {

// Faces found together are numbered as still mode numbers faces: confident
// first (by the HOG detector's score over the whole frame; every face the
// network finds is one it is sure of), larger first, then in reading order.
// Boxes confirmed in crops vary by a few pixels where the detector's
// whole-frame boxes came in pyramid steps, so sizes within a step count as
// one size and tops within half a face as one row.
void orderFoundTogether(std::vector<TrackedFace*>& faces, bool byScore)
{
    const auto sure = [&](const TrackedFace* f) { return !byScore || isConfident(f->confidence); };
    const auto top = [](const TrackedFace* f) { return f->start.cy - f->start.size / 2; };
    std::stable_sort(faces.begin(), faces.end(), [&](const TrackedFace* a, const TrackedFace* b) {
        if (sure(a) != sure(b))
            return sure(a);
        return a->start.size > b->start.size;
    });
    for (auto group = faces.begin(); group != faces.end();) {
        const auto sameSize = std::find_if(group, faces.end(), [&](const TrackedFace* f) {
            return sure(f) != sure(*group) || f->start.size < (*group)->start.size * 5.0 / 6.0;
        });
        std::stable_sort(group, sameSize, [&](const TrackedFace* a, const TrackedFace* b) { return top(a) < top(b); });
        for (auto row = group; row != sameSize;) {
            const auto sameRow = std::find_if(
                row, sameSize, [&](const TrackedFace* f) { return top(f) > top(*row) + (*row)->start.size / 2; });
            std::stable_sort(row, sameRow,
                             [](const TrackedFace* a, const TrackedFace* b) { return a->start.cx < b->start.cx; });
            row = sameRow;
        }
        group = sameSize;
    }
}

} // namespace

FaceTracker::NewFaces FaceTracker::numberFound(std::vector<TrackedFace>& faces, bool foundByNetwork,
                                               const CnnFaceDetector* smallNetwork)
{
    NewFaces news;
    if (std::all_of(faces.begin(), faces.end(), [](const TrackedFace& f) { return f.id != 0; }))
        return news; // nothing new: still in id order
    const auto found =
        std::stable_partition(faces.begin(), faces.end(), [](const TrackedFace& f) { return f.id != 0; });
    std::vector<TrackedFace*> fresh;
    for (auto f = found; f != faces.end(); ++f) {
        const auto lost =
            std::find_if(lost_.begin(), lost_.end(), [&](const LostFace& l) { return sameFace(l.pose, f->start); });
        if (lost != lost_.end()) {
            f->id = lost->id;
            lost_.erase(lost);
        } else {
            fresh.push_back(&*f);
        }
    }
    orderFoundTogether(fresh, !foundByNetwork);
    for (TrackedFace* f : fresh) {
        f->id = newId();
        news.any = true;
        news.notBySmallNetwork = news.notBySmallNetwork || f->foundBy != smallNetwork;
    }
    std::stable_sort(faces.begin(), faces.end(),
                     [](const TrackedFace& a, const TrackedFace& b) { return a.id < b.id; });
    return news;
}

void FaceTracker::readFirstLandmarks(TrackedFace& face, const LandmarkModel& landmarks) const
{
    const Shape raw = firstLandmarks(landmarks, ImageView::of(gray_), face.start, face.fitted, face.startByHog);
    face.anchor = face.fitted.offsetOf(face.start);
    face.anchorSamples = 1;
    face.smoother.smooth(raw, face.fitted, face.points);
    face.box.angle = face.smoother.steadyPose().angle;
    face.hasLandmarks = true;
}

const Shape& FaceTracker::points(std::size_t i, const LandmarkModel& landmarks)
{
    TrackedFace& face = faces_.at(i);
    if (!face.hasLandmarks)
        readFirstLandmarks(face, landmarks);
    return face.points;
}

const FacePose& FaceTracker::box(std::size_t i, const LandmarkModel& landmarks)
{
    TrackedFace& face = faces_.at(i);
    if (!face.hasLandmarks)
        readFirstLandmarks(face, landmarks);
    return face.box;
}

FaceTracker::Sighting FaceTracker::look(const ImageView& frame, const FacePose& expected, const FaceFinders& finders,
                                        double minHogScore, float minNetworkScore, const CnnFaceDetector* foundBy)
{
    // The HOG detector on the box expected, cut upright.
    const int side = static_cast<int>(std::lround(kCropFaceWidth * (1 + 2 * kCropMargin)));
    const Affine toFrame = cropToFrame(expected, side);
    warpToGray(frame, toFrame, side, side, crop_);
    const double centre = (side - 1) / 2.0;
    const Detection* best = nullptr;
    const std::vector<Detection> found = finders.hog.scanCrop(crop_, kWeakestFace);
    for (const Detection& d : found) {
        const double dx = (d.rect.left() + d.rect.right()) / 2.0 - centre;
        const double dy = (d.rect.top() + d.rect.bottom()) / 2.0 - centre;
        if (matchesExpected(dx, dy, d.rect.width(), kCropFaceWidth) &&
            (best == nullptr || d.confidence > best->confidence))
            best = &d;
    }
    Sighting sighting;
    if (best != nullptr) {
        sighting.seen = true;
        sighting.confirmed = best->confidence >= minHogScore;
        sighting.byHog = true;
        sighting.confidence = best->confidence;
        sighting.detected = expected;
        const double cu = (best->rect.left() + best->rect.right()) / 2.0;
        const double cv = (best->rect.top() + best->rect.bottom()) / 2.0;
        sighting.detected.cx = toFrame.x(cu, cv);
        sighting.detected.cy = toFrame.y(cu, cv);
        sighting.detected.size = (expected.size + 1.0) * best->rect.width() / kCropFaceWidth - 1.0;
        if (sighting.confirmed)
            return sighting;
    }
    // What HOG does not confirm (a face turned sideways, small, in hard
    // light), the network may.
    CnnFaceDetector* network = finders.cropNetwork != nullptr ? finders.cropNetwork : finders.network;
    if (network == nullptr || networkLooksLeft_ <= 0)
        return sighting;
    --networkLooksLeft_;
    double sideInFaces = kNetworkLookSide;
    if (foundBy != nullptr && finders.network != nullptr && isSmall(expected)) {
        // A small new face would be enlarged and blurred in the crop
        // network's input: the whole-frame network looks at it at a scale
        // it sees well, another view than the one it was found in.
        network = finders.network;
        sideInFaces = network->inputWidth() / kSmallLookFace;
    } else if (foundBy != nullptr && foundBy == finders.cropNetwork && finders.network != nullptr) {
        // What the small network found over the whole frame, the other
        // network checks: a second opinion, not the same one again.
        network = finders.network;
        sideInFaces = kFullNetworkLookSide;
    }
    const NetworkFind find =
        networkLook(*network, frame, expected, sideInFaces, minNetworkScore, boxToHog(network, finders), true);
    if (!find.found)
        return sighting;
    sighting.seen = sighting.confirmed = true;
    sighting.byHog = false;
    sighting.confidence = find.score;
    sighting.detected = find.pose;
    sighting.detected.angle = expected.angle;
    return sighting;
}

FaceTracker::NetworkFind FaceTracker::networkLook(CnnFaceDetector& network, const ImageView& frame,
                                                  const FacePose& expected, double sideInFaces, float minScore,
                                                  const BoxToHog& toHog, bool mayTurnUpright)
{
    // A square sideInFaces times the face's box wide around where it is
    // expected. A rolled face is cut upright for the network (gray: the crop
    // is made for every pixel format), which is surer of upright faces; its
    // finds are mapped back to the frame.
    if (&network == passNetwork_)
        passNetwork_ = nullptr; // its pass begun is lost: begun again
    const double side = sideInFaces * (expected.size + 1.0);
    std::vector<FacePose> poses;
    std::vector<float> scores;
    if (mayTurnUpright && std::abs(angleBetween(expected.angle, 0)) > kUprightLookAngle) {
        const int cropSide = network.inputWidth();
        const double scale = side / cropSide;
        const Affine toFrame =
            turnedAbout(scale, expected.angle, (cropSide - 1) / 2.0, (cropSide - 1) / 2.0, expected.cx, expected.cy);
        warpToGray(frame, toFrame, cropSide, cropSide, networkCrop_);
        for (const CnnFace& f : network.detect(ImageView::of(networkCrop_), minScore)) {
            FacePose pose = poseOf(f, toHog);
            const double cx = pose.cx, cy = pose.cy;
            pose.cx = toFrame.x(cx, cy);
            pose.cy = toFrame.y(cx, cy);
            pose.size = (pose.size + 1) * scale - 1;
            pose.angle += expected.angle;
            poses.push_back(pose);
            scores.push_back(f.score);
        }
    } else {
        CnnFaceDetector::Region region;
        region.x = static_cast<float>(expected.cx - side / 2);
        region.y = static_cast<float>(expected.cy - side / 2);
        region.width = region.height = static_cast<float>(side);
        for (const CnnFace& f : network.detect(frame, region, minScore)) {
            poses.push_back(poseOf(f, toHog));
            scores.push_back(f.score);
        }
    }
    NetworkFind best;
    for (std::size_t i = 0; i < poses.size(); ++i) {
        const FacePose& pose = poses[i];
        if (matchesExpected(pose.cx - expected.cx, pose.cy - expected.cy, pose.size + 1, expected.size + 1) &&
            (!best.found || scores[i] > best.score))
            best = {true, pose, scores[i]};
    }
    return best;
}

bool FaceTracker::follow(TrackedFace& face, const ImageView& frame, const FaceFinders& finders,
                         const LandmarkModel& landmarks)
{
    // Where the face should be now: its steadied pose, moved on as it moved
    // in the last frame. (The raw landmarks' pose carries camera noise.)
    FacePose predicted = face.smoother.steadyPose();
    predicted.cx += kMotionCarried * face.velocity[0];
    predicted.cy += kMotionCarried * face.velocity[1];
    predicted.size *= std::exp(kMotionCarried * face.velocity[2]);
    predicted.angle += kMotionCarried * face.velocity[3];

    const FacePose expected = predicted.moved(face.anchor);
    // A face not reported yet needs a sure second look, whatever the
    // threshold it was found at: HOG as sure as of a face in a whole frame
    // (a weak score in a crop of a patterned cup was one false face in
    // 5,400 face-free frames), or the other network's high score.
    // A new face is looked at again where the network saw it, at the size
    // it saw: the look checks that find, wherever the first landmarks put
    // the face.
    const bool firstSeenLastFrame = face.id == 0;
    const Sighting sighting =
        look(frame, firstSeenLastFrame ? face.box : expected, finders, firstSeenLastFrame ? kConfidentDetection : 0.0,
             firstSeenLastFrame ? std::max(settings_.minScore, kSureScore) : settings_.minScore,
             firstSeenLastFrame ? face.foundBy : nullptr);
    if (!sighting.seen)
        return false; // nothing face-like where the face should be
    const bool confirmed = sighting.confirmed;
    const FacePose& detected = sighting.detected;

    // Where the regression starts: the box expected, unless the detector's
    // own box is now elsewhere; kept still while the face is.
    FacePose start = expected;
    if (confirmed && sighting.byHog && !within(detected, expected, kReanchorDistance, kReanchorScale)) {
        start = detected;
        face.anchorSamples = 0;
    }
    if (stillNear(start, face.start))
        start = face.start;

    const Shape raw = meanRegression(landmarks, frame, start);
    const FacePose fitted = FacePose::fit(landmarks.meanShape(), raw);
    if (fitted.cx < 0 || fitted.cy < 0 || fitted.cx >= frame.width || fitted.cy >= frame.height)
        return false; // the face has left the frame
    face.unconfirmedFrames = confirmed ? 0 : face.unconfirmedFrames + 1;
    if (face.unconfirmedFrames > kMaxUnconfirmedFrames)
        return false;

    if (confirmed && sighting.byHog && face.anchorSamples < kAnchorFrames) {
        // One frame's box carries that frame's noise: the first few are averaged.
        const PoseOffset seen = fitted.offsetOf(detected);
        const double weight = 1.0 / ++face.anchorSamples;
        face.anchor.dx += weight * (seen.dx - face.anchor.dx);
        face.anchor.dy += weight * (seen.dy - face.anchor.dy);
        face.anchor.scale += weight * (seen.scale - face.anchor.scale);
    }
    face.start = start;
    face.fitted = fitted;
    face.confidence = sighting.confidence;
    const FacePose before = face.smoother.steadyPose();
    face.smoother.smooth(raw, fitted, face.points);
    const FacePose& after = face.smoother.steadyPose();
    // The box where the detector saw the face, at the roll of the points given.
    face.box = detected;
    face.box.angle = after.angle;
    const double motion[4] = {after.cx - before.cx, after.cy - before.cy, std::log(after.size / before.size),
                              angleBetween(after.angle, before.angle)};
    for (int i = 0; i < 4; ++i)
        face.velocity[i] = motion[i];
    return true;
}

bool FaceTracker::belowMinimum(const FacePose& pose) const
{
    return pose.size + 1 < kFaceSizeScatter * settings_.minFaceSize;
}

bool FaceTracker::searchesTiles(const ImageView& frame, const CnnFaceDetector& network) const
{
    return settings_.minFaceSize * wholeScale(frame, network) < kNetworkSmallestFace;
}

void FaceTracker::beginNetworkPass(const ImageView& frame, const FaceFinders& finders,
                                   const std::vector<TrackedFace>& found, bool quick, double share)
{
    // The passes of one search: the whole frame every third frame, and the
    // four tiles between when faces smaller than the whole frame shows are
    // looked for (every other one placed on a change in the view, when there
    // is one); a quick pass is the small network over the whole frame.
    CnnFaceDetector* network = quick ? finders.cropNetwork : finders.network;
    const bool tiles = !quick && searchesTiles(frame, *network);
    const int pass = tiles ? networkPass_ % kNetworkSearchPasses : 0;
    CnnFaceDetector::Region region;
    region.width = static_cast<float>(frame.width);
    region.height = static_cast<float>(frame.height);
    if (pass % 3 != 0) {
        region.width = static_cast<float>(kTileSide * frame.width);
        region.height = static_cast<float>(kTileSide * frame.height);
        const bool lastOnChange = tileOnChange_;
        const PixelBox change = lastOnChange ? PixelBox{} : changes_.strongestChange(knownBoxes(found));
        tileOnChange_ = !change.empty() && change.width <= region.width && change.height <= region.height;
        const int viewChanged = changes_.viewChangedFrames();
        if (!lastOnChange && viewChanged > 0 && viewChanged <= kViewChangeFrames && found.empty() &&
            finders.cropNetwork != nullptr) {
            // The view just changed as a whole (someone came close to the
            // camera, the camera moved): what came is most likely large, and
            // the small network over the whole frame sees large faces, rolled
            // far too, more surely than the full-range one, at a third of a
            // tile pass's cost. Only as the change begins: a view that keeps
            // changing (a moving camera) leaves the tiles their turns.
            tileOnChange_ = true;
            network = finders.cropNetwork;
            region.width = static_cast<float>(frame.width);
            region.height = static_cast<float>(frame.height);
        } else if (tileOnChange_) {
            // A square when that is smaller than the tile: it lies in the
            // frame as the tile does.
            const float side = std::max(static_cast<float>(kChangeLookSide * std::max(change.width, change.height)),
                                        static_cast<float>(network->inputWidth()));
            if (side <= std::min(region.width, region.height))
                region.width = region.height = side;
            region.x = std::clamp(change.x + change.width / 2.0f - region.width / 2, 0.0f, frame.width - region.width);
            region.y =
                std::clamp(change.y + change.height / 2.0f - region.height / 2, 0.0f, frame.height - region.height);
        } else {
            // The tiles take turns over the passes not placed on a change.
            const int tile = nextTile_;
            nextTile_ = (nextTile_ + 1) % 4;
            region.x = static_cast<float>(tile % 2 ? (1 - kTileSide) * frame.width : 0);
            region.y = static_cast<float>(tile / 2 ? (1 - kTileSide) * frame.height : 0);
        }
    }
    network->begin(frame, region, share);
    passNetwork_ = network;
}

void FaceTracker::finishNetworkPass(const ImageView& frame, const FaceFinders& finders, std::vector<TrackedFace>& found,
                                    const LandmarkModel* landmarks, bool grayIsThisFrame)
{
    CnnFaceDetector& network = *std::exchange(passNetwork_, nullptr);
    FaceFinders hogOnly{finders.hog};
    for (const CnnFace& f : network.finish(settings_.minScore)) {
        const FacePose pose = poseOf(f, boxToHog(&network, finders));
        if (belowMinimum(pose) || isKnown(found, pose) || isKnown(candidates_, pose))
            continue;
        // A new face's first landmarks are read in this frame's gray.
        if (!std::exchange(grayIsThisFrame, true))
            toGray(frame, gray_);
        // HOG, cut upright at the roll the eyes show, confirms most faces at
        // once, when the landmarks agree with its box, and places the
        // regression's start box as it was trained; a small face only when
        // it is sure.
        const Sighting sighting =
            look(frame, pose, hogOnly, isSmall(pose) ? kConfidentDetection : 0.0, settings_.minScore);
        TrackedFace face;
        face.foundBy = &network;
        if (sighting.confirmed) {
            face.box = face.start = sighting.detected;
            face.confidence = sighting.confidence;
            if (landmarks != nullptr) {
                readFirstLandmarks(face, *landmarks);
                if (!agrees(face.fitted, sighting.detected))
                    continue;
            }
            // A pass begun last frame saw a followed face where it was then.
            if (!isKnown(found, sighting.detected))
                found.push_back(std::move(face));
            continue;
        }
        face.box = face.start = pose;
        face.startByHog = false;
        face.confidence = f.score;
        if (landmarks != nullptr)
            readFirstLandmarks(face, *landmarks);
        candidates_.push_back(std::move(face));
    }
}

const std::vector<PixelBox>& FaceTracker::knownBoxes(const std::vector<TrackedFace>& faces)
{
    // Twice the box: a face's own motion changes the view around it.
    knownBoxes_.clear();
    for (const TrackedFace& face : faces) {
        const FacePose& pose = face.box;
        knownBoxes_.push_back({static_cast<int>(std::floor(pose.cx - pose.size)),
                               static_cast<int>(std::floor(pose.cy - pose.size)),
                               static_cast<int>(std::ceil(2 * pose.size)), static_cast<int>(std::ceil(2 * pose.size))});
    }
    return knownBoxes_;
}

void FaceTracker::track(const ImageView& frame, const FaceFinders& finders, const LandmarkModel* landmarks)
{
    FaceDetector& detector = finders.hog;
    if (frame.width != width_ || frame.height != height_) {
        reset();
        width_ = frame.width;
        height_ = frame.height;
    }
    const bool firstFrame = std::exchange(firstFrame_, false);
    // Faces found last frame whose landmarks no one asked for.
    for (TrackedFace& face : faces_)
        if (!face.hasLandmarks)
            readFirstLandmarks(face, *landmarks);
    for (TrackedFace& face : candidates_)
        if (!face.hasLandmarks)
            readFirstLandmarks(face, *landmarks);
    // A lost face is remembered while the search for it runs.
    for (LostFace& lost : lost_)
        ++lost.frames;
    lost_.erase(std::remove_if(lost_.begin(), lost_.end(), [](const LostFace& l) { return l.frames >= kSearchParts; }),
                lost_.end());
    networkLooksLeft_ = kNetworkLooksPerFrame;
    // Faces lost are dropped, and any face lost makes the whole frame be
    // searched at once, beginning at the first one's size.
    std::vector<TrackedFace> kept;
    double lostSize = 0;
    for (TrackedFace& face : faces_) {
        if (follow(face, frame, finders, *landmarks)) {
            kept.push_back(std::move(face));
            continue;
        }
        if (lostSize == 0)
            lostSize = face.box.size;
        lost_.push_back({face.id, face.hasLandmarks ? face.fitted : face.start, 0});
    }
    // The network's finds of last frame: faces when seen again, here, by
    // either detector, and their landmarks agree with the box.
    const bool lookedAgain = !candidates_.empty();
    for (TrackedFace& face : candidates_) {
        if (follow(face, frame, finders, *landmarks) && face.unconfirmedFrames == 0 && agrees(face.fitted, face.box) &&
            !std::any_of(kept.begin(), kept.end(),
                         [&](const TrackedFace& k) { return sameFace(k.fitted, face.fitted); })) {
            face.id = 0; // numbered below
            kept.push_back(std::move(face));
        }
    }
    candidates_.clear();
    idleFrames_ = kept.empty() ? std::min(idleFrames_ + 1, kSearchParts + 1) : 0;
    ++framesSinceSearch_;
    ++framesSinceChanges_;
    if (finders.network != nullptr) {
        // One network pass a frame (beside followed faces, half a pass):
        // at once when a face is lost or nothing is followed, else every so
        // often.
        // A new face found makes the search begin again (once any pass
        // begun is finished), with the small network over the whole frame
        // unless that found it: people who come into view together are
        // found together, not one now and the others at the next search.
        const bool searchAgain = foundFace_ && passNetwork_ == nullptr && !kept.empty();
        const bool smallPassFirst = searchAgain && smallPassDue_;
        if (searchAgain || kept.empty())
            foundFace_ = smallPassDue_ = false;
        if (lostSize > 0 || searchAgain || (kept.empty() && networkPassesLeft_ == 0) ||
            (networkPassesLeft_ == 0 && framesSinceSearch_ >= kNetworkSearchInterval)) {
            networkPass_ = 0;
            networkPassesLeft_ = kNetworkSearchPasses;
            passNetwork_ = nullptr; // the last search's unfinished pass is dropped
            // A lost face is looked for by the full-range network at once.
            quickPassDue_ = smallPassFirst && lostSize == 0;
        }
        // A frame that looked again at new finds, or at a followed face with
        // the crop network, has paid for most of a pass already: its pass
        // waits a frame, unless a face was lost or it waited last frame.
        const bool busy = lookedAgain || networkLooksLeft_ < kNetworkLooksPerFrame;
        const bool wait = networkPassesLeft_ > 0 && busy && lostSize == 0 && !passWaited_;
        passWaited_ = wait;
        const auto passDone = [&] {
            ++networkPass_;
            if (--networkPassesLeft_ == 0)
                framesSinceSearch_ = 0;
        };
        if (passNetwork_ != finders.network)
            passNetwork_ = nullptr; // the networks are not those it was begun with
        if (passNetwork_ != nullptr) {
            // The rest of the pass begun last frame, its finds looked at in
            // this one.
            if (!wait) {
                finishNetworkPass(frame, finders, kept, landmarks, false);
                passDone();
            }
        } else if (networkPassesLeft_ > 0 && !wait) {
            toGray(frame, gray_);
            // A camera's first frame is searched by the small network (a
            // third of the cost: the first call also loads the models), for
            // the large faces of people near the camera; the search proper,
            // and the change map, start on the next frame. So is the first
            // frame of a search begun again for a new face (above).
            const bool quick = (firstFrame || std::exchange(quickPassDue_, false)) && finders.cropNetwork != nullptr;
            if (!quick && searchesTiles(frame, *finders.network)) {
                if (std::exchange(framesSinceChanges_, 0) > kStaleChangeFrames)
                    changes_.reset();
                changes_.update(gray_,
                                std::max(kChangeCellSmallest,
                                         static_cast<int>(std::lround(settings_.minFaceSize / kChangeCellsPerFace))));
            }
            // Beside faces followed, a pass is spread over two frames, so
            // that no frame pays for a whole one on top of following. Only
            // when the crop network looks at followed faces: were it the
            // search's network, each look would drop the pass begun.
            const bool spread = !quick && !kept.empty() && lostSize == 0 && finders.cropNetwork != nullptr;
            beginNetworkPass(frame, finders, kept, quick, spread ? kSpreadPassShare : 1.0);
            if (!spread) {
                finishNetworkPass(frame, finders, kept, landmarks, true);
                if (!quick)
                    passDone();
            }
        }
        const NewFaces news = numberFound(kept, true, finders.cropNetwork);
        if (news.any) {
            foundFace_ = true;
            // When the small network found them all over the whole frame,
            // it has looked at this view already.
            smallPassDue_ = smallPassDue_ || news.notBySmallNetwork;
        }
        faces_ = std::move(kept);
        return;
    }
    passNetwork_ = nullptr; // called without the network: nothing of a pass begun is kept
    if (lostSize > 0 || (kept.empty() && searchParts_ != kSearchParts))
        startSearch(detector, kSearchParts, lostSize);
    else if (searchParts_ == 0 && framesSinceSearch_ >= kSearchInterval)
        startSearch(detector, kPeriodicSearchParts, 0);
    if (searchParts_ > 0) {
        // This frame's part of the search: faces not followed yet are added.
        const std::vector<int> firsts = detector.levelParts(frame.width, frame.height, searchParts_);
        toGray(frame, gray_);
        for (const Detection& found : detector.scanLevels(gray_, firsts[searchPart_], firsts[searchPart_ + 1] - 1)) {
            addIfNew(kept, found, FacePose::of(found.rect));
        }
        if (kept.empty() && idleFrames_ > kSearchParts)
            searchTurned(detector, kept);
        if (!kept.empty())
            idleFrames_ = 0;
        searchPart_ = (searchPart_ + 1) % (static_cast<int>(firsts.size()) - 1);
        if (--searchPartsLeft_ == 0) {
            searchParts_ = 0;
            framesSinceSearch_ = 0;
        }
    }
    numberFound(kept, false);
    faces_ = std::move(kept);
}

} // namespace mivora
