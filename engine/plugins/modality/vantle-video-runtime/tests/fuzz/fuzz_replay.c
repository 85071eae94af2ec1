/* Runs a fuzz target once over each input file, without libFuzzer, for
 * builds that cannot link it (ThreadSanitizer with g++). Arguments are files
 * or folders of files; a folder's files run in name order. */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int LLVMFuzzerInitialize(int* argc, char*** argv);
int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static size_t replayed;

static void replay_file(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) {
    fprintf(stderr, "cannot open %s\n", path);
    exit(1);
  }
  uint8_t* data = NULL;
  size_t size = 0, capacity = 0, got;
  do {
    if (size == capacity) {
      capacity = capacity ? 2 * capacity : 65536;
      data = realloc(data, capacity);
      if (data == NULL) {
        abort();
      }
    }
    got = fread(data + size, 1, capacity - size, file);
    size += got;
  } while (got != 0);
  fclose(file);
  LLVMFuzzerTestOneInput(data, size);
  free(data);
  ++replayed;
}

static int by_name(const struct dirent** a, const struct dirent** b) {
  return strcmp((*a)->d_name, (*b)->d_name);
}

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  for (int i = 1; i < argc; ++i) {
    struct dirent** entries;
    const int count = scandir(argv[i], &entries, NULL, by_name);
    if (count < 0) {
      replay_file(argv[i]);
      continue;
    }
    for (int j = 0; j < count; ++j) {
      if (entries[j]->d_name[0] != '.') {
        char path[4096];
        snprintf(path, sizeof path, "%s/%s", argv[i], entries[j]->d_name);
        replay_file(path);
      }
      free(entries[j]);
    }
    free(entries);
  }
  printf("replayed %zu inputs\n", replayed);
  return 0;
}
