/* SPDX-License-Identifier: MIT */
/* detect_face IMAGE.ppm: runs the usage example of mivora_face.h on a binary
 * PPM photo. Prints the 68 landmarks of the largest face; exits 0 when a face
 * was found. */
#include <mivora_face.h>

#include <stdio.h>
#include <stdlib.h>

static int usage_example(const unsigned char* bgr_pixels, int width, int height)
{
#include "usage_example.inc"
}

/* Reads one header number of a PPM, skipping white space and # comments. */
static int read_header_number(FILE* file, int* value)
{
    int c = fgetc(file);
    while (c == '#' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = fgetc(file);
        c = fgetc(file);
    }
    if (c == EOF || ungetc(c, file) == EOF)
        return 0;
    return fscanf(file, "%9d", value) == 1;
}

/* Reads a binary 8-bit PPM into a newly allocated BGR buffer. */
static unsigned char* read_ppm_as_bgr(const char* path, int* width, int* height)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return NULL;
    int max_value = 0;
    unsigned char* pixels = NULL;
    if (fgetc(file) == 'P' && fgetc(file) == '6' && read_header_number(file, width) &&
        read_header_number(file, height) && read_header_number(file, &max_value) && max_value == 255 && *width > 0 &&
        *height > 0 && *width <= MIVORA_FACE_MAX_IMAGE_SIDE && *height <= MIVORA_FACE_MAX_IMAGE_SIDE &&
        fgetc(file) != EOF) {
        const size_t size = (size_t)*width * (size_t)*height * 3;
        pixels = malloc(size);
        if (pixels != NULL && fread(pixels, 1, size, file) == size) {
            for (size_t i = 0; i < size; i += 3) {
                const unsigned char red = pixels[i];
                pixels[i] = pixels[i + 2];
                pixels[i + 2] = red;
            }
        } else {
            free(pixels);
            pixels = NULL;
        }
    }
    fclose(file);
    return pixels;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: detect_face IMAGE.ppm\n");
        return 2;
    }
    int width = 0, height = 0;
    unsigned char* pixels = read_ppm_as_bgr(argv[1], &width, &height);
    if (pixels == NULL) {
        fprintf(stderr, "detect_face: cannot read %s as a binary PPM\n", argv[1]);
        return 2;
    }
    const int faces = usage_example(pixels, width, height);
    free(pixels);
    return faces > 0 ? 0 : 1;
}
