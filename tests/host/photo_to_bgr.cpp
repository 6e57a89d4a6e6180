// SPDX-License-Identifier: MIT
// Writes a photo in the raw form host_image.h reads.
#include <opencv2/imgcodecs.hpp>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: photo_to_bgr IN.png OUT.bgr\n");
        return 2;
    }
    const cv::Mat bgr = cv::imread(argv[1], cv::IMREAD_COLOR);
    std::FILE* out = bgr.empty() ? nullptr : std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "photo_to_bgr: cannot convert %s to %s\n", argv[1], argv[2]);
        return 1;
    }
    std::fprintf(out, "BGR %d %d\n", bgr.cols, bgr.rows);
    for (int y = 0; y < bgr.rows; ++y)
        std::fwrite(bgr.ptr(y), 3, static_cast<size_t>(bgr.cols), out);
    return std::fclose(out) == 0 ? 0 : 1;
}
