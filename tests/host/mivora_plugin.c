/* SPDX-License-Identifier: MIT */
/* A plugin whose constructor uses MivoraFace while the host's dlopen is still
 * running, as plugins of media players and interpreters do. */
#include "host_image.h"
#include "mivora_face.h"

#include <limits.h>

/* The constructor's detection result; INT_MIN when it could not read the photo. */
int mivora_plugin_faces = INT_MIN;

__attribute__((constructor)) static void detect_while_loading(void)
{
    host_image photo;
    const char* path = getenv("MIVORA_HOST_FACE");
    if (path == NULL || host_image_read(path, &photo) != 0)
        return;
    mivora_plugin_faces = MivoraFaceDetectStd(photo.px, photo.w, photo.h, MIVORA_FACE_MODE_STILL);
    free(photo.px);
}
