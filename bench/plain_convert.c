/* plain_convert: the yardstick of session_bench. Turns sessions' data database files straight
 * into tab-delimited download files, with nothing in between: no sync manager, no field
 * model, no calls per record.
 *   plain_convert HEADER DATABASE OUTPUT [DATABASE OUTPUT]...
 * HEADER is the first line of every file, the field names separated by tabs; each record of
 * a database gives one line of as many of its 31-byte values (after the 2-byte record id) as
 * HEADER has names, each up to its NUL. Lines end in CR LF. Each file is written under a
 * temporary name, synced, renamed over OUTPUT and its folder synced, as the conduit commits
 * a download. Exit status 1 with a message on any failure. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kHeaderSize = 78, kEntrySize = 8, kRecIdSize = 2, kValueSize = 31 };

static void Fail(const char* what, const char* name) {
  fprintf(stderr, "plain_convert: %s %s: %s\n", what, name, errno ? strerror(errno) : "malformed");
  exit(1);
}

static unsigned long Get32(const unsigned char* p) {
  return ((unsigned long)p[0] << 24) | ((unsigned long)p[1] << 16) | ((unsigned long)p[2] << 8) |
         p[3];
}

static void Convert(const char* header, int fields, const char* dbName, const char* outName) {
  FILE* in = fopen(dbName, "rb");
  if (!in) Fail("cannot open", dbName);
  static char inBuffer[1 << 16];
  setvbuf(in, inBuffer, _IOFBF, sizeof inBuffer);
  unsigned char head[kHeaderSize];
  errno = 0;
  if (fread(head, 1, kHeaderSize, in) != kHeaderSize) Fail("cannot read", dbName);
  const size_t count = ((size_t)head[76] << 8) | head[77];
  unsigned char* entries = malloc(count * kEntrySize + 1);
  unsigned long* offsets = malloc((count + 1) * sizeof *offsets);
  if (!entries || !offsets) Fail("no memory for", dbName);
  if (fread(entries, kEntrySize, count, in) != count) Fail("cannot read", dbName);
  for (size_t i = 0; i < count; ++i) offsets[i] = Get32(entries + i * kEntrySize);
  struct stat st;
  if (fstat(fileno(in), &st) != 0) Fail("cannot read", dbName);
  offsets[count] = (unsigned long)st.st_size;

  char* temp = malloc(strlen(outName) + 8);
  if (!temp) Fail("no memory for", outName);
  sprintf(temp, "%s.XXXXXX", outName);
  const int fd = mkstemp(temp);
  if (fd < 0) Fail("cannot create", temp);

  /* Lines are gathered in a buffer of 64 KB that goes out in one write when full. */
  static char out[1 << 16];
  size_t used = strlen(header);
  if (used + 2 > sizeof out) Fail("header too long for", outName);
  memcpy(out, header, used);
  out[used++] = '\r';
  out[used++] = '\n';

  /* The records follow one another in entry order: read on, seeking only over a gap. */
  static unsigned char record[65535];
  unsigned long position = kHeaderSize + count * kEntrySize;
  for (size_t i = 0; i < count; ++i) {
    errno = 0;
    if (offsets[i + 1] < offsets[i] || offsets[i + 1] - offsets[i] > sizeof record)
      Fail("bad record in", dbName);
    const size_t size = offsets[i + 1] - offsets[i];
    if (position != offsets[i] && fseek(in, (long)offsets[i], SEEK_SET) != 0)
      Fail("cannot read", dbName);
    if (fread(record, 1, size, in) != size) Fail("cannot read", dbName);
    position = offsets[i + 1];
    /* At most 31 characters a value, the tabs and the line end. */
    if (used + (size_t)fields * (kValueSize + 1) + 2 > sizeof out) {
      if (write(fd, out, used) != (ssize_t)used) Fail("cannot write", temp);
      used = 0;
    }
    for (int f = 0; f < fields; ++f) {
      if (f) out[used++] = '\t';
      const size_t at = kRecIdSize + (size_t)f * kValueSize;
      if (at >= size) continue;
      const size_t most = size - at < kValueSize ? size - at : kValueSize;
      const unsigned char* nul = memchr(record + at, 0, most);
      const size_t n = nul ? (size_t)(nul - (record + at)) : most;
      memcpy(out + used, record + at, n);
      used += n;
    }
    out[used++] = '\r';
    out[used++] = '\n';
  }
  fclose(in);

  errno = 0;
  if (write(fd, out, used) != (ssize_t)used || fsync(fd) != 0) Fail("cannot write", temp);
  if (close(fd) != 0) Fail("cannot close", temp);
  if (rename(temp, outName) != 0) Fail("cannot rename", temp);
  const int folder = open(dirname(temp), O_RDONLY | O_DIRECTORY);
  if (folder < 0 || fsync(folder) != 0) Fail("cannot sync the folder of", outName);
  close(folder);
  free(temp);
  free(offsets);
  free(entries);
}

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    fprintf(stderr, "usage: plain_convert HEADER DATABASE OUTPUT [DATABASE OUTPUT]...\n");
    return 2;
  }
  const char* header = argv[1];
  int fields = 1;
  for (const char* c = header; *c; ++c) fields += *c == '\t';
  for (int i = 2; i + 1 < argc; i += 2) Convert(header, fields, argv[i], argv[i + 1]);
  return 0;
}
