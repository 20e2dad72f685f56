/* The floor of grouping lines into K files: what one thread must do at least, done as
   simply as possible. Reads the whole input into memory, then creates K files one after
   another with open(O_CREAT | O_EXCL), writes each an equal share of the input in one
   write() and closes it. Run in an empty folder holding the input.
   Usage: file_creation_floor INPUT KEYS */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s INPUT KEYS\n", argv[0]);
    return 2;
  }
  const long keys = atol(argv[2]);
  const int input = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (input < 0 || fstat(input, &status) != 0 || keys <= 0) {
    perror(argv[1]);
    return 1;
  }
  const size_t size = (size_t)status.st_size;
  char* const data = malloc(size > 0 ? size : 1);
  size_t have = 0;
  while (data != NULL && have < size) {
    const ssize_t n = read(input, data + have, size - have);
    if (n <= 0) {
      perror("read");
      return 1;
    }
    have += (size_t)n;
  }
  close(input);
  const size_t share = size / (size_t)keys;
  char name[32];
  for (long key = 0; key < keys; ++key) {
    snprintf(name, sizeof name, "f%07ld", key);
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, data + (size_t)key * share, share) != (ssize_t)share || close(fd) != 0) {
      fprintf(stderr, "%s: %s\n", name, strerror(errno));
      return 1;
    }
  }
  free(data);
  return 0;
}
