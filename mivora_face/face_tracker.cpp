#include "face_tracker.h"

#include "face_order.h"

#include <algorithm>
#include <cmath>

namespace mivora {

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

Shape regress(const LandmarkModel& landmarks, const ImageView& frame, const FacePose& start)
{
    Shape raw;
    landmarks.predict(frame, start.toImage(), raw.data());
    return raw;
}

} // namespace

void FaceTracker::reset()
{
    faces_.clear();
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
    const bool known = std::any_of(faces.begin(), faces.end(), [&](const TrackedFace& face) {
        return sameFace(face.hasLandmarks ? face.fitted : face.start, pose);
    });
    if (known)
        return;
    TrackedFace face; // numbered by numberFound
    face.box = face.start = pose;
    face.confidence = detection.confidence;
    faces.push_back(std::move(face));
}

void FaceTracker::numberFound(std::vector<TrackedFace>& faces)
{
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
    // Faces found together are numbered as still mode numbers faces.
    std::stable_sort(fresh.begin(), fresh.end(), [](const TrackedFace* a, const TrackedFace* b) {
        return numberedBefore({a->confidence, 0, a->start.rect()}, {b->confidence, 0, b->start.rect()});
    });
    for (TrackedFace* f : fresh)
        f->id = newId();
    std::stable_sort(faces.begin(), faces.end(),
                     [](const TrackedFace& a, const TrackedFace& b) { return a.id < b.id; });
}

void FaceTracker::readFirstLandmarks(TrackedFace& face, const LandmarkModel& landmarks) const
{
    const ImageView frame = ImageView::of(gray_);
    Shape raw = regress(landmarks, frame, face.start);
    FacePose fitted = FacePose::fit(landmarks.meanShape(), raw);
    for (int pass = 1;
         pass < kFirstRegressionPasses && std::abs(angleBetween(fitted.angle, face.start.angle)) > kRestartAngle;
         ++pass) {
        face.start.angle = fitted.angle;
        raw = regress(landmarks, frame, face.start);
        fitted = FacePose::fit(landmarks.meanShape(), raw);
    }
    face.fitted = fitted;
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

bool FaceTracker::follow(TrackedFace& face, const ImageView& frame, FaceDetector& detector,
                         const LandmarkModel& landmarks)
{
    // Where the face should be now: its steadied pose, moved on as it moved
    // in the last frame. (The raw landmarks' pose carries camera noise.)
    FacePose predicted = face.smoother.steadyPose();
    predicted.cx += kMotionCarried * face.velocity[0];
    predicted.cy += kMotionCarried * face.velocity[1];
    predicted.size *= std::exp(kMotionCarried * face.velocity[2]);
    predicted.angle += kMotionCarried * face.velocity[3];

    // Confirm: the detector on the box expected, cut upright.
    const FacePose expected = predicted.moved(face.anchor);
    const int side = static_cast<int>(std::lround(kCropFaceWidth * (1 + 2 * kCropMargin)));
    const Affine toFrame = cropToFrame(expected, side);
    warpToGray(frame, toFrame, side, side, crop_);
    const double centre = (side - 1) / 2.0;
    const Detection* best = nullptr;
    const std::vector<Detection> found = detector.scanCrop(crop_, kWeakestFace);
    for (const Detection& d : found) {
        const double dx = (d.rect.left() + d.rect.right()) / 2.0 - centre;
        const double dy = (d.rect.top() + d.rect.bottom()) / 2.0 - centre;
        const double ratio = d.rect.width() / kCropFaceWidth;
        if (std::hypot(dx, dy) < kCropMatchDistance * kCropFaceWidth && ratio < kCropMatchScale &&
            ratio > 1 / kCropMatchScale && (best == nullptr || d.confidence > best->confidence))
            best = &d;
    }
    if (best == nullptr)
        return false; // nothing face-like where the face should be
    const bool confirmed = best->confidence >= 0;
    FacePose detected = expected;
    const double cu = (best->rect.left() + best->rect.right()) / 2.0;
    const double cv = (best->rect.top() + best->rect.bottom()) / 2.0;
    detected.cx = toFrame.x(cu, cv);
    detected.cy = toFrame.y(cu, cv);
    detected.size = (expected.size + 1.0) * best->rect.width() / kCropFaceWidth - 1.0;

    // Where the regression starts: the box expected, unless the detector's
    // own box is now elsewhere; kept still while the face is.
    FacePose start = expected;
    const double ratio = detected.size / expected.size;
    if (confirmed &&
        (std::hypot(detected.cx - expected.cx, detected.cy - expected.cy) > kReanchorDistance * expected.size ||
         ratio > kReanchorScale || ratio < 1 / kReanchorScale)) {
        start = detected;
        face.anchorSamples = 0;
    }
    if (stillNear(start, face.start))
        start = face.start;

    const Shape raw = regress(landmarks, frame, start);
    const FacePose fitted = FacePose::fit(landmarks.meanShape(), raw);
    if (fitted.cx < 0 || fitted.cy < 0 || fitted.cx >= frame.width || fitted.cy >= frame.height)
        return false; // the face has left the frame
    face.unconfirmedFrames = confirmed ? 0 : face.unconfirmedFrames + 1;
    if (face.unconfirmedFrames > kMaxUnconfirmedFrames)
        return false;

    if (confirmed && face.anchorSamples < kAnchorFrames) {
        // One frame's box carries that frame's noise: the first few are averaged.
        const PoseOffset seen = fitted.offsetOf(detected);
        const double weight = 1.0 / ++face.anchorSamples;
        face.anchor.dx += weight * (seen.dx - face.anchor.dx);
        face.anchor.dy += weight * (seen.dy - face.anchor.dy);
        face.anchor.scale += weight * (seen.scale - face.anchor.scale);
    }
    face.start = start;
    face.fitted = fitted;
    face.confidence = best->confidence;
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

void FaceTracker::track(const ImageView& frame, FaceDetector& detector, const LandmarkModel* landmarks)
{
    if (frame.width != width_ || frame.height != height_) {
        reset();
        width_ = frame.width;
        height_ = frame.height;
    }
    // Faces found last frame whose landmarks no one asked for.
    for (TrackedFace& face : faces_)
        if (!face.hasLandmarks)
            readFirstLandmarks(face, *landmarks);
    // A lost face is remembered while the search for it runs.
    for (LostFace& lost : lost_)
        ++lost.frames;
    lost_.erase(std::remove_if(lost_.begin(), lost_.end(), [](const LostFace& l) { return l.frames >= kSearchParts; }),
                lost_.end());
    // Faces lost are dropped, and any face lost makes the whole frame be
    // searched at once, beginning at the first one's size.
    std::vector<TrackedFace> kept;
    double lostSize = 0;
    for (TrackedFace& face : faces_) {
        if (follow(face, frame, detector, *landmarks)) {
            kept.push_back(std::move(face));
            continue;
        }
        if (lostSize == 0)
            lostSize = face.box.size;
        lost_.push_back({face.id, face.hasLandmarks ? face.fitted : face.start, 0});
    }
    idleFrames_ = kept.empty() ? std::min(idleFrames_ + 1, kSearchParts + 1) : 0;
    ++framesSinceSearch_;
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
        numberFound(kept);
        searchPart_ = (searchPart_ + 1) % (static_cast<int>(firsts.size()) - 1);
        if (--searchPartsLeft_ == 0) {
            searchParts_ = 0;
            framesSinceSearch_ = 0;
        }
    }
    faces_ = std::move(kept);
}

} // namespace mivora
