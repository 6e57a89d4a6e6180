// SPDX-License-Identifier: MIT
/* The photos of the host tests, as the helper photo_to_bgr writes them: a
 * text line "BGR width height" and then the rows of BGR bytes. Keeps an image
 * library out of the C programs. */
#ifndef MIVORA_HOST_IMAGE_H
#define MIVORA_HOST_IMAGE_H

#include <stdio.h>
#include <stdlib.h>

typedef struct {
    int w, h;
    unsigned char* px;
} host_image;

/* 0 with *out filled (free out->px), or -1. */
static inline int host_image_read(const char* path, host_image* out)
{
    FILE* f = fopen(path, "rb");
    if (f == NULL)
        return -1;
    int ok = fscanf(f, "BGR %d %d", &out->w, &out->h) == 2 && fgetc(f) == '\n' && out->w > 0 && out->h > 0;
    size_t size = ok ? (size_t)out->w * (size_t)out->h * 3 : 0;
    out->px = ok ? malloc(size) : NULL;
    ok = out->px != NULL && fread(out->px, 1, size, f) == size;
    fclose(f);
    if (!ok) {
        free(out->px);
        out->px = NULL;
    }
    return ok ? 0 : -1;
}

#endif
