/* SPDX-License-Identifier: MIT */
/* mivora_host PATTERN [ARG]: MivoraFace inside one kind of host process.
 *
 * Each pattern prints a line per step and "done", and exits 0; a failure
 * prints its reason to stderr and exits non-zero. Photos come from
 * $MIVORA_HOST_FACE (one face) and $MIVORA_HOST_NOFACE (none), in the form
 * host_image.h reads. Built twice: linked to the library (MIVORA_HOST_LINKED)
 * and without it, for the patterns that dlopen it. */
#define _GNU_SOURCE
#include "host_image.h"
#include "mivora_face.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

typedef int (*detect_fn)(const unsigned char*, int, int, int);
typedef int (*landmarks_fn)(int, float*);
#ifdef MIVORA_HOST_LINKED
static detect_fn detect = MivoraFaceDetectStd;
static landmarks_fn landmarks = MivoraGetFaceLandmark68Std;
#else
static detect_fn detect;
static landmarks_fn landmarks;
#endif

static const char* pattern = "";
/* Frames are composed from the photo's top rows (head): lower down is a
 * pattern dlib takes for a face once its window can reach past the photo. */
static host_image face, noface, head;

static void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "mivora_host %s: ", pattern);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    fflush(stdout);
    _exit(1); /* not exit(): a crash at exit beside busy threads would hide this reason */
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

static host_image load_photo(const char* variable)
{
    host_image im;
    const char* path = getenv(variable);
    if (path == NULL || host_image_read(path, &im) != 0)
        fail("cannot read the photo named by $%s (%s)", variable, path ? path : "unset");
    return im;
}

/* A w x h frame of plain grey with src at its centre (cropped if larger). */
static host_image centred(const host_image* src, int w, int h)
{
    host_image out = {w, h, malloc((size_t)w * h * 3)};
    if (out.px == NULL)
        fail("out of memory for a %dx%d frame", w, h);
    memset(out.px, 128, (size_t)w * h * 3);
    int x0 = (w - src->w) / 2, from = x0 < 0 ? 0 : x0, to = x0 + src->w > w ? w : x0 + src->w;
    for (int y = 0; y < h; ++y) {
        int sy = y - (h - src->h) / 2;
        if (sy >= 0 && sy < src->h)
            memcpy(out.px + ((size_t)y * w + from) * 3, src->px + ((size_t)sy * src->w + from - x0) * 3,
                   (size_t)(to - from) * 3);
    }
    return out;
}

/* 0 when a still detection finds `expect` faces and face 0 has 68 finite
 * points inside the image (copied to points when not NULL); else -1 and why. */
static int verify(const host_image* im, int expect, float* points, char why[128])
{
    int n = detect(im->px, im->w, im->h, MIVORA_FACE_MODE_STILL);
    if (n != expect)
        return snprintf(why, 128, "%dx%d frame: detect returned %d, expected %d", im->w, im->h, n, expect), -1;
    if (n == 0)
        return 0;
    float p[MIVORA_FACE_LANDMARK_VALUE_COUNT];
    int status = landmarks(0, p);
    if (status != MIVORA_FACE_OK)
        return snprintf(why, 128, "landmarks returned %d", status), -1;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_VALUE_COUNT; i += 2)
        if (!isfinite(p[i]) || !isfinite(p[i + 1]) || p[i] < 0 || p[i] > im->w - 1 || p[i + 1] < 0 ||
            p[i + 1] > im->h - 1)
            return snprintf(why, 128, "landmark %d (%g, %g) outside the image", i / 2, p[i], p[i + 1]), -1;
    if (points != NULL)
        memcpy(points, p, sizeof p);
    return 0;
}

static void step(const char* what, const host_image* im, int expect, float* points)
{
    char why[128];
    if (verify(im, expect, points, why) != 0)
        fail("%s: %s", what, why);
    printf("%s: faces %d\n", what, expect);
}

/* LeakSanitizer asks this at exit. A child forked beside running threads has
 * their memory but not their stacks, which it would report as leaks. */
static int forked_child;
int __lsan_is_turned_off(void) { return forked_child; }

/* fork(); 0 in the child, which runs under alarm(), so that a hang ends as SIGALRM. */
static pid_t fork_with_alarm(const char* what)
{
    fflush(stdout); /* else the child writes the parent's pending lines again */
    pid_t pid = fork();
    if (pid < 0)
        fail("fork: %s", strerror(errno));
    if (pid == 0) {
        forked_child = 1;
        alarm(20);
        pattern = what;
    }
    return pid;
}

/* A child that detects. */
static pid_t fork_checker(const host_image* im, int expect, const char* what)
{
    pid_t pid = fork_with_alarm(what);
    if (pid == 0) {
        step("child", im, expect, NULL);
        exit(0);
    }
    return pid;
}

static void reap(pid_t pid, const char* what)
{
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            fail("%s: waitpid: %s", what, strerror(errno));
    if (WIFSIGNALED(status))
        fail("%s: child killed by signal %d (%s)", what, WTERMSIG(status), strsignal(WTERMSIG(status)));
    if (WEXITSTATUS(status) != 0)
        fail("%s: child exited with status %d", what, WEXITSTATUS(status));
}

/* Threads that detect on one frame until stop (or once, with once set). */
typedef struct {
    const host_image* im;
    int once;
    atomic_int* stop;
    atomic_int calls, ended;
    char why[128]; /* empty while every call was right */
    pthread_t thread;
} worker;

static void* work(void* arg)
{
    worker* w = arg;
    do {
        if (verify(w->im, 1, NULL, w->why) != 0) {
            if (!w->once && w->stop == NULL) /* nobody will join this thread */
                fprintf(stderr, "mivora_host %s: worker: %s\n", pattern, w->why);
            break;
        }
        atomic_fetch_add(&w->calls, 1);
    } while (!w->once && !(w->stop != NULL && atomic_load(w->stop)));
    atomic_store(&w->ended, 1);
    return NULL;
}

static void start(worker* w, const host_image* im, int once, atomic_int* stop)
{
    *w = (worker){.im = im, .once = once, .stop = stop};
    int error = pthread_create(&w->thread, NULL, work, w);
    if (error != 0)
        fail("pthread_create: %s", strerror(error));
}

static void join(worker* w, const char* what)
{
    pthread_join(w->thread, NULL);
    if (w->why[0] != '\0')
        fail("%s: %s", what, w->why);
}

/* Until one of the workers has returned from a call; fails when all end without one. */
static void wait_for_a_call(worker* w, int count)
{
    for (int called = 0, ended = 0; !called; sleep_ms(1), ended = 0) {
        for (int i = 0; i < count; ++i) {
            called |= atomic_load(&w[i].calls) > 0;
            ended += atomic_load(&w[i].ended);
        }
        if (!called && ended == count)
            fail("every worker failed before its first call returned: %s", w[0].why);
    }
}

static long rss_kb(void)
{
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == NULL || fscanf(f, "%ld %ld", &pages, &resident) != 2)
        fail("cannot read /proc/self/statm");
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static void* load_library(void)
{
#ifdef MIVORA_HOST_LINKED
    fail("needs mivora_host_dl: this build is linked to the library, which a dlopen would not reload");
    return NULL;
#else
    void* library = dlopen("libmivoraface.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == NULL)
        fail("dlopen: %s", dlerror());
    detect = (detect_fn)dlsym(library, "MivoraFaceDetectStd");
    landmarks = (landmarks_fn)dlsym(library, "MivoraGetFaceLandmark68Std");
    if (detect == NULL || landmarks == NULL)
        fail("dlsym: %s", dlerror());
    puts("loaded");
    return library;
#endif
}

static void dlopen_reopen(void)
{
    float first[MIVORA_FACE_LANDMARK_VALUE_COUNT], second[MIVORA_FACE_LANDMARK_VALUE_COUNT];
    void* library = load_library();
    step("first load", &face, 1, first);
    if (dlclose(library) != 0)
        fail("dlclose: %s", dlerror());
    puts("closed");
    load_library();
    step("second load", &face, 1, second);
    if (memcmp(first, second, sizeof first) != 0)
        fail("the second load gives other landmarks");
}

static void fork_during_load(void)
{
    static const int delays_ms[] = {0, 1, 2, 5, 10};
    enum { forks = sizeof delays_ms / sizeof delays_ms[0] };
    pid_t children[forks];
    worker first;
    struct timespec t0, now;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    start(&first, &face, 1, NULL);
    for (int i = 0; i < forks; ++i) {
        do
            clock_gettime(CLOCK_MONOTONIC, &now);
        while ((now.tv_sec - t0.tv_sec) * 1000 + (now.tv_nsec - t0.tv_nsec) / 1000000 < delays_ms[i]);
        children[i] = fork_checker(&face, 1, "fork during load");
    }
    for (int i = 0; i < forks; ++i)
        reap(children[i], "fork during load");
    join(&first, "first call");
    printf("%d children detected\n", forks);
}

static void fork_busy(void)
{
    enum { threads = 2, forks = 10 };
    host_image big = centred(&head, 1920, 1080);
    atomic_int stop = 0;
    worker busy[threads];
    pid_t children[forks];
    for (int i = 0; i < threads; ++i)
        start(&busy[i], &big, 0, &stop);
    wait_for_a_call(busy, threads);
    for (int i = 0; i < forks; ++i, sleep_ms(15))
        children[i] = fork_checker(&face, 1, "fork while busy");
    for (int i = 0; i < forks; ++i)
        reap(children[i], "fork while busy");
    atomic_store(&stop, 1);
    for (int i = 0; i < threads; ++i)
        join(&busy[i], "busy thread");
    printf("%d children detected beside %d busy threads\n", forks, threads);
    free(big.px);
}

#ifdef MIVORA_HOST_LINKED
/* A thread following a camera on one tracker, frame after frame. */
typedef struct {
    MivoraFaceTracker* tracker;
    const host_image* im;
    atomic_int* stop;
    atomic_int in_call; /* 1 from just before a call until just after it */
    atomic_long calls;
    int error;
    pthread_t thread;
} tracking_worker;

static void* track_frames(void* arg)
{
    tracking_worker* w = arg;
    while (!atomic_load(w->stop)) {
        atomic_store(&w->in_call, 1);
        int n = MivoraFaceTrackerDetect(w->tracker, w->im->px, w->im->w, w->im->h, MIVORA_FACE_MODE_VIDEO);
        atomic_store(&w->in_call, 0);
        atomic_fetch_add(&w->calls, 1);
        if (n < 0) {
            w->error = n;
            break;
        }
    }
    return NULL;
}

/* The face found within `frames` video frames on tracker, with landmarks. */
static void find_on_tracker(MivoraFaceTracker* tracker, const host_image* im, int frames, const char* who)
{
    for (int frame = 0; frame < frames; ++frame) {
        int n = MivoraFaceTrackerDetect(tracker, im->px, im->w, im->h, MIVORA_FACE_MODE_VIDEO);
        if (n < 0)
            fail("%s: frame %d: detect returned %d (%s)", who, frame, n, MivoraFaceErrorString(n));
        if (n == 0)
            continue;
        float p[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        int status = MivoraFaceTrackerGetLandmark68(tracker, 0, p);
        if (status != MIVORA_FACE_OK)
            fail("%s: landmarks returned %d", who, status);
        return;
    }
    fail("%s: no face within %d frames", who, frames);
}

/* fork() while another thread is inside a call on a tracker: the child uses
 * that tracker at once and finds the face as a new tracker would; the
 * parent's thread goes on, and the tracker still works in the parent. */
static void fork_tracker_busy(void)
{
    enum { forks = 8 };
    host_image big = centred(&head, 1280, 720);
    MivoraFaceTracker* tracker = MivoraFaceTrackerCreate();
    if (tracker == NULL)
        fail("MivoraFaceTrackerCreate failed");
    atomic_int stop = 0;
    tracking_worker w = {.tracker = tracker, .im = &big, .stop = &stop};
    int error = pthread_create(&w.thread, NULL, track_frames, &w);
    if (error != 0)
        fail("pthread_create: %s", strerror(error));
    while (atomic_load(&w.calls) == 0 && w.error == 0)
        sleep_ms(1);
    pid_t children[forks];
    int inside = 0;
    for (int i = 0; i < forks; ++i, sleep_ms(7)) {
        long calls = atomic_load(&w.calls);
        int busy = atomic_load(&w.in_call);
        pid_t pid = fork_with_alarm("fork-tracker-busy child");
        if (pid == 0) {
            find_on_tracker(tracker, &face, 4, "child");
            exit(0);
        }
        /* Inside one call all along: the fork landed inside it. */
        inside += busy && atomic_load(&w.in_call) && atomic_load(&w.calls) == calls;
        children[i] = pid;
    }
    for (int i = 0; i < forks; ++i)
        reap(children[i], "child using the inherited tracker");
    atomic_store(&stop, 1);
    pthread_join(w.thread, NULL);
    if (w.error != 0)
        fail("the parent's tracking thread: detect returned %d", w.error);
    if (inside == 0)
        fail("no fork landed inside a tracker call: nothing was tested");
    find_on_tracker(tracker, &face, 4, "parent after the forks");
    MivoraFaceTrackerDestroy(tracker);
    printf("%d children used the tracker, %d of them forked inside a call\n", forks, inside);
    free(big.px);
}
#endif

static void exit_in_flight(void)
{
    enum { threads = 3 };
    static host_image big; /* both still in use while the process exits */
    static worker busy[threads];
    big = centred(&head, 1920, 1080);
    for (int i = 0; i < threads; ++i)
        start(&busy[i], &big, 0, NULL);
    wait_for_a_call(busy, threads);
    sleep_ms(50);
}

static void threads_churn(void)
{
    enum { threads = 2000 };
    host_image small = centred(&head, 320, 240);
    worker w;
    /* Warm up in short-lived threads too: their stacks and arenas are reused. */
    for (int i = 0; i < 5; ++i) {
        step("warm-up", &small, 1, NULL);
        start(&w, &small, 1, NULL);
        join(&w, "warm-up thread");
    }
    long before = rss_kb();
    for (int i = 0; i < threads; ++i) {
        start(&w, &small, 1, NULL);
        join(&w, "short-lived thread");
    }
    long growth = rss_kb() - before;
    printf("%d threads: resident memory grew by %ld KB\n", threads, growth);
    if (growth > 256)
        fail("resident memory grew by %ld KB over %d threads (limit 256 KB)", growth, threads);
    free(small.px);
}

static void huge_frame(void)
{
    host_image vga = centred(&head, 640, 480);
    for (int i = 0; i < 3; ++i)
        step("640x480", &vga, 1, NULL);
    long before = rss_kb();
    host_image huge = centred(&head, 6000, 6000);
    step("6000x6000", &huge, 1, NULL);
    free(huge.px);
    step("640x480", &vga, 1, NULL);
    long after = rss_kb();
    printf("resident memory: %ld KB after warm-up, %ld KB after the huge frame\n", before, after);
    /* The frame itself needs about 40 MB of the library (its gray image, the
     * HOG pyramid, the networks' resampled rows); all of it is given back. */
    if (after - before > 4 * 1024)
        fail("the huge frame left %ld KB more resident memory (limit 4 MB)", after - before);
    free(vga.px);
}

/* A camera's day-to-day use: a face followed in video mode for 100 frames of
 * 640x480, drifting a few pixels a frame, with its landmarks read each time.
 * The process holds about 20 MB (mivora_bench --resident measures it); the
 * limit here leaves room for how a machine backs memory (huge pages, malloc
 * arenas) and still fails on a float model's 66 MB copy. */
static void follow_resident(void)
{
    const int w = 640, h = 480, frames = 100;
    host_image frame = {w, h, malloc((size_t)w * h * 3)};
    if (frame.px == NULL)
        fail("out of memory for a frame");
    int followed = 0;
    for (int i = 0; i < frames; ++i) {
        memset(frame.px, 128, (size_t)w * h * 3);
        const int x0 = (w - head.w) / 2 + (int)lround(30 * sin(i * 0.1)), y0 = (h - head.h) / 2;
        for (int y = 0; y < head.h && y0 + y < h; ++y)
            for (int x = 0; x < head.w; ++x)
                if (x0 + x >= 0 && x0 + x < w)
                    memcpy(frame.px + ((size_t)(y0 + y) * w + x0 + x) * 3, head.px + ((size_t)y * head.w + x) * 3, 3);
        float p[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        if (detect(frame.px, w, h, MIVORA_FACE_MODE_VIDEO) > 0 && landmarks(0, p) == MIVORA_FACE_OK)
            ++followed;
    }
    free(frame.px);
    const long resident = rss_kb();
    printf("face followed in %d of %d frames; resident memory %ld KB\n", followed, frames, resident);
    if (followed < frames - 3)
        fail("the face was followed in only %d of %d frames", followed, frames);
    if (resident > 32 * 1024)
        fail("resident memory %ld KB after following a face (limit 32 MB)", resident);
}

/* An unused library must cost nothing: no thread, no model mapped. */
static void check_idle(const char* when)
{
    int threads = 0;
    DIR* tasks = opendir("/proc/self/task");
    for (struct dirent* e; tasks != NULL && (e = readdir(tasks)) != NULL;)
        threads += e->d_name[0] != '.';
    if (tasks == NULL || threads != 1)
        fail("%s: %d threads, expected 1", when, threads);
    closedir(tasks);
    char line[4096];
    int library = 0;
    FILE* maps = fopen("/proc/self/maps", "r");
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
        if (strstr(line, "mivoraface/") || strstr(line, ".mivora") || strstr(line, "shape_predictor"))
            fail("%s: a model file is mapped: %s", when, line);
        library |= strstr(line, "/libmivoraface.so") != NULL;
    }
    if (maps == NULL || !library)
        fail("%s: the library is not loaded", when);
    fclose(maps);
    printf("%s: 1 thread, no model mapped\n", when);
}

/* Either the reference points or a clean error, however often it is called. */
static void same_or_error(const char* after, const float* reference)
{
    for (int call = 0; call < 3; ++call) {
        int n = detect(face.px, face.w, face.h, MIVORA_FACE_MODE_STILL);
        float p[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        int status = n == 1 ? landmarks(0, p) : n;
        if (status < 0) {
            printf("%s: error %d\n", after, status);
        } else if (n != 1) {
            fail("%s: %d faces instead of 1", after, n);
        } else if (memcmp(p, reference, sizeof p) != 0) {
            fail("%s: landmarks differ from those before the change", after);
        } else {
            printf("%s: same landmarks\n", after);
        }
    }
}

static void model_changed(const char* copy)
{
    float reference[MIVORA_FACE_LANDMARK_VALUE_COUNT];
    step("before the change", &face, 1, reference);
    int fd = open(copy, O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        fail("cannot open the model copy %s: %s", copy, strerror(errno));
    size_t length = (size_t)st.st_size / 3 < (8u << 20) ? (size_t)st.st_size / 3 : (8u << 20);
    unsigned char* bytes = malloc(length);
    if (bytes == NULL || pread(fd, bytes, length, st.st_size / 3) != (ssize_t)length)
        fail("cannot read the model copy");
    for (size_t i = 0; i < length; ++i)
        bytes[i] = (unsigned char)~bytes[i]; /* every byte changes */
    if (pwrite(fd, bytes, length, st.st_size / 3) != (ssize_t)length)
        fail("cannot overwrite the model copy: %s", strerror(errno));
    same_or_error("overwritten", reference);
    if (ftruncate(fd, st.st_size / 2) != 0)
        fail("cannot truncate the model copy: %s", strerror(errno));
    same_or_error("truncated", reference);
    free(bytes);
    close(fd);
}

static void plugin_ctor(const char* plugin)
{
    alarm(20);
    void* handle = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL)
        fail("dlopen %s: %s", plugin, dlerror());
    const int* faces = dlsym(handle, "mivora_plugin_faces");
    if (faces == NULL || *faces != 1)
        fail("the plugin's constructor found %d faces, expected 1", faces ? *faces : -999);
    puts("plugin constructor: faces 1");
}

int main(int argc, char** argv)
{
    pattern = argc > 1 ? argv[1] : "";
    const char* arg = argc > 2 ? argv[2] : NULL;
    if (strcmp(pattern, "idle") == 0) { /* before anything else is loaded or started */
        check_idle("at start");
        sleep_ms(200);
        check_idle("after 200 ms");
        puts("done");
        return 0;
    }
#ifndef MIVORA_HOST_LINKED
    if (strcmp(pattern, "plugin-ctor") != 0 && strncmp(pattern, "dlopen-", 7) != 0)
        fail("needs mivora_host: this build is not linked to the library");
#endif
    face = load_photo("MIVORA_HOST_FACE");
    noface = load_photo("MIVORA_HOST_NOFACE");
    head = face;
    head.h = face.h < 300 ? face.h : 300;
    if (strcmp(pattern, "linked") == 0) {
        step("face photo", &face, 1, NULL);
        step("photo without a face", &noface, 0, NULL);
    } else if (strcmp(pattern, "dlopen-exit") == 0) {
        load_library();
        step("face photo", &face, 1, NULL);
    } else if (strcmp(pattern, "dlopen-reopen") == 0) {
        dlopen_reopen();
    } else if (strcmp(pattern, "fork-before") == 0 || strcmp(pattern, "fork-after") == 0) {
        int after = pattern[5] == 'a';
        if (after)
            step("parent before fork", &face, 1, NULL);
        pid_t child = fork_checker(&face, 1, pattern);
        step("parent", &face, 1, NULL);
        reap(child, pattern);
    } else if (strcmp(pattern, "fork-during-load") == 0) {
        fork_during_load();
    } else if (strcmp(pattern, "fork-busy") == 0) {
        fork_busy();
#ifdef MIVORA_HOST_LINKED
    } else if (strcmp(pattern, "fork-tracker-busy") == 0) {
        fork_tracker_busy();
#endif
    } else if (strcmp(pattern, "exit-in-flight") == 0) {
        exit_in_flight();
    } else if (strcmp(pattern, "threads-churn") == 0) {
        threads_churn();
    } else if (strcmp(pattern, "huge-frame") == 0) {
        huge_frame();
    } else if (strcmp(pattern, "follow-resident") == 0) {
        follow_resident();
    } else if (strcmp(pattern, "model-changed") == 0 && arg != NULL) {
        model_changed(arg);
    } else if (strcmp(pattern, "plugin-ctor") == 0 && arg != NULL) {
        plugin_ctor(arg);
    } else {
        fail("usage: mivora_host linked|dlopen-exit|dlopen-reopen|fork-before|fork-during-load|fork-after|"
             "fork-busy|fork-tracker-busy|exit-in-flight|threads-churn|huge-frame|follow-resident|idle|"
             "model-changed MODEL|plugin-ctor PLUGIN");
    }
    puts("done");
    return 0; /* returning from main, with no dlclose, is the exit under test */
}
