/* The floor of splitting lines among a few files: what one thread must do at least to read
   every byte, find every line and its key, and write every byte to FILES files, without
   deciding where a line goes. Reads the input in 256 KiB chunks, as varnolix does, finds
   each line's end and the end of its first field with memchr(), and writes each chunk's
   whole lines with one write() to the next of the files, in turn. Run in an empty folder
   holding the input; prints the number of lines and the sum of the key lengths, so that
   nothing found is thrown away.
   Usage: split_floor INPUT FILES */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kChunk = 256 * 1024 };

static int writeAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    bytes += n;
    size -= (size_t)n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3 || atol(argv[2]) <= 0) {
    fprintf(stderr, "usage: %s INPUT FILES\n", argv[0]);
    return 2;
  }
  const long count = atol(argv[2]);
  const int input = open(argv[1], O_RDONLY | O_CLOEXEC);
  int* const files = malloc((size_t)count * sizeof *files);
  char* const buffer = malloc(kChunk);
  if (input < 0 || files == NULL || buffer == NULL) {
    perror(argv[1]);
    return 1;
  }
  char name[32];
  for (long i = 0; i < count; ++i) {
    snprintf(name, sizeof name, "f%05ld", i);
    files[i] = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (files[i] < 0) {
      perror(name);
      return 1;
    }
  }
  unsigned long long lines = 0, keyBytes = 0;
  size_t filled = 0;
  long next = 0;
  for (;;) {
    const ssize_t n = read(input, buffer + filled, kChunk - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      perror("read");
      return 1;
    }
    filled += (size_t)n;
    const char* at = buffer;
    const char* const end = buffer + filled;
    const char* lineFeed;
    while ((lineFeed = memchr(at, '\n', (size_t)(end - at))) != NULL) {
      const char* const cut = memchr(at, ';', (size_t)(lineFeed - at));
      keyBytes += (unsigned long long)((cut != NULL ? cut : lineFeed) - at);
      ++lines;
      at = lineFeed + 1;
    }
    // A line longer than the buffer goes out in pieces.
    const size_t whole = at == buffer && filled == kChunk ? filled : (size_t)(at - buffer);
    if (n == 0) {  // the end: the last line may lack its line feed
      if (filled > whole) {
        const char* const cut = memchr(at, ';', filled - whole);
        keyBytes += (unsigned long long)((cut != NULL ? cut : end) - at);
        ++lines;
      }
      if (writeAll(files[next], buffer, filled) != 0) {
        perror("write");
        return 1;
      }
      break;
    }
    if (whole > 0 && writeAll(files[next], buffer, whole) != 0) {
      perror("write");
      return 1;
    }
    next = (next + 1) % count;
    memmove(buffer, buffer + whole, filled - whole);
    filled -= whole;
  }
  for (long i = 0; i < count; ++i) {
    if (close(files[i]) != 0) {
      perror("close");
      return 1;
    }
  }
  printf("%llu lines, %llu key bytes\n", lines, keyBytes);
  return 0;
}
