/* The request exports while a second thread gives kept memory back and moves
 * its bound: once between requests, and over and over while one runs and
 * while its response is read and released. Flag bits 4 and 5 pick the export
 * (0 and 1: decode, 2: decode_indexed, 3: transcode_h264), bits 6 and 7 the
 * bound the input runs under; the second thread moves it between that and 0.
 * Also built without libFuzzer as kept_memory_replay, which the
 * ThreadSanitizer leg runs over this target's corpus. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "fuzz_calls.h"

static const uint64_t kLimits[4] = {256u << 20, 0, 2u << 20, 16u << 20};

typedef enum Phase { Idle, Between, During, Stopping } Phase;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static Phase phase = Idle;
static uint64_t limit;

static void set_phase(Phase next) {
  phase = next;
  pthread_cond_broadcast(&changed);
}

static void* trimmer(void* unused) {
  (void)unused;
  pthread_mutex_lock(&lock);
  for (;;) {
    while (phase == Idle || phase == Stopping) {
      if (phase == Stopping) {
        set_phase(Idle);
      }
      pthread_cond_wait(&changed, &lock);
    }
    const uint64_t bound = limit;
    if (phase == Between) {
      pthread_mutex_unlock(&lock);
      vantle_video_runtime_set_kept_memory_limit(bound);
      vantle_video_runtime_release_kept_memory();
      pthread_mutex_lock(&lock);
      set_phase(Idle);
      continue;
    }
    /* During a request: a pause between rounds, so the request's own thread
     * keeps most of a core. */
    unsigned round = 0;
    while (phase == During) {
      pthread_mutex_unlock(&lock);
      vantle_video_runtime_release_kept_memory();
      vantle_video_runtime_set_kept_memory_limit(++round % 2 ? 0 : bound);
      const struct timespec pause = {0, 50 * 1000};
      nanosleep(&pause, NULL);
      pthread_mutex_lock(&lock);
    }
  }
  return NULL;
}

/* Moves the trimming thread to `next` and, for Between and Stopping, waits
 * until it is idle again. */
static void tell_trimmer(Phase next) {
  pthread_mutex_lock(&lock);
  set_phase(next);
  while (next != During && phase != Idle) {
    pthread_cond_wait(&changed, &lock);
  }
  pthread_mutex_unlock(&lock);
}

int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  fuzz_setup();
  pthread_t thread;
  if (pthread_create(&thread, NULL, trimmer, NULL) != 0) {
    fprintf(stderr, "kept_memory_fuzzer: no second thread\n");
    exit(1);
  }
  pthread_detach(thread);
  return 0;
}

static void run_request(const uint8_t* data, const FuzzRequest* request) {
  switch (data[1] >> 4 & 3) {
    case 2:
      fuzz_decode_indexed(&request->transcode.decode);
      return;
    case 3:
      fuzz_transcode(&request->transcode);
      return;
    default:
      fuzz_decode(&request->transcode.decode, NULL);
      return;
  }
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzRequest request;
  if (!fuzz_parse_input(data, size, &request)) {
    return 0;
  }
  pthread_mutex_lock(&lock);
  limit = kLimits[data[1] >> 6];
  pthread_mutex_unlock(&lock);
  tell_trimmer(Between);
  tell_trimmer(During);
  run_request(data, &request);
  tell_trimmer(Stopping);
  return 0;
}
