/* plain_convert: the yardstick of session_bench. Turns sessions' data database files straight
 * into download files, with nothing in between: no sync manager, no field model, no calls
 * per record.
 *   plain_convert HEADER DATABASE OUTPUT [DATABASE OUTPUT]...
 *   plain_convert --xml NAMES HEAD DATABASE OUTPUT [HEAD DATABASE OUTPUT]...
 * Each record of a database holds its values as 31-byte texts after the 2-byte record id,
 * each up to its NUL. Tab layout: HEADER is the first line of every file, the field names
 * separated by tabs; each record gives one line of as many values as HEADER has names,
 * separated by tabs. XML layout: NAMES are the element names separated by tabs, HEAD the
 * text of the next file before its first record; each record gives a Record element with its number
 * and one element per name, the value escaped and turned from Windows-1252 into UTF-8; the
 * closing text follows. Lines end in CR LF. Each file is written under a temporary name,
 * synced, renamed over OUTPUT and its folder synced, as the conduit commits a download.
 * Exit status 1 with a message on any failure. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kHeaderSize = 78, kEntrySize = 8, kRecIdSize = 2, kValueSize = 31, kMaxFields = 30 };
/* The most bytes one escaped value takes: each byte as "&quot;" or a 3-byte character. */
enum { kMostEscaped = kValueSize * 6 };

static void Fail(const char* what, const char* name) {
  fprintf(stderr, "plain_convert: %s %s: %s\n", what, name, errno ? strerror(errno) : "malformed");
  exit(1);
}

static unsigned long Get32(const unsigned char* p) {
  return ((unsigned long)p[0] << 24) | ((unsigned long)p[1] << 16) | ((unsigned long)p[2] << 8) |
         p[3];
}

/* XML: what each byte becomes. Plain bytes stand for themselves (length 0 here). */
static char gXml[256][8];
static unsigned char gXmlLength[256];

static void SetXml(unsigned char b, const char* text) {
  strcpy(gXml[b], text);
  gXmlLength[b] = (unsigned char)strlen(text);
}

static void MakeXmlTable(void) {
  /* Windows-1252 0x80..0x9F; its five unused bytes keep their own value. */
  static const unsigned short k80[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  for (int b = 0; b < 256; ++b) {
    unsigned cp = b >= 0x80 && b < 0xA0 ? k80[b - 0x80] : (unsigned)b;
    if (b < 0x20 && b != '\t' && b != '\n') cp = 0xFFFD;
    char text[8] = {0};
    if (cp >= 0x800) {
      text[0] = (char)(0xE0 | (cp >> 12));
      text[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
      text[2] = (char)(0x80 | (cp & 0x3F));
    } else if (cp >= 0x80) {
      text[0] = (char)(0xC0 | (cp >> 6));
      text[1] = (char)(0x80 | (cp & 0x3F));
    }
    if (text[0]) SetXml((unsigned char)b, text);
  }
  SetXml('&', "&amp;");
  SetXml('<', "&lt;");
  SetXml('>', "&gt;");
  SetXml('"', "&quot;");
  SetXml('\r', "&#13;");
}

/* Appends the n bytes of text, escaped for XML; returns the new end. */
static char* AppendXml(char* out, const unsigned char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = text[i];
    if (!gXmlLength[b]) {
      *out++ = (char)b;
    } else {
      memcpy(out, gXml[b], 8);
      out += gXmlLength[b];
    }
  }
  return out;
}

struct Layout {
  int xml;
  const char* head; /* tab: the header line without its line end; XML: the text before the rows */
  int fields;
  const char* names[kMaxFields];
  size_t nameLengths[kMaxFields];
};

static const char kXmlEnd[] = "</Transfer>\r\n\r\n</QuillorPlusData>\r\n";

static void Convert(const struct Layout* layout, const char* dbName, const char* outName) {
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
  size_t used = strlen(layout->head);
  if (used + 2 > sizeof out) Fail("header too long for", outName);
  memcpy(out, layout->head, used);
  if (!layout->xml) {
    out[used++] = '\r';
    out[used++] = '\n';
  }
  /* The most one row takes. */
  size_t most = 2;
  for (int f = 0; f < layout->fields; ++f)
    most += layout->xml ? 2 * layout->nameLengths[f] + kMostEscaped + 12 : kValueSize + 1;
  if (layout->xml) most += 64;
  if (most > sizeof out) Fail("names too long for", outName);

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
    if (used + most > sizeof out) {
      if (write(fd, out, used) != (ssize_t)used) Fail("cannot write", temp);
      used = 0;
    }
    if (layout->xml) {
      memcpy(out + used, " <Record>\r\n  <ID>", 17);
      used += 17;
      char digits[24];
      size_t n = 0;
      for (size_t id = i + 1; id; id /= 10) digits[n++] = (char)('0' + id % 10);
      while (n) out[used++] = digits[--n];
      memcpy(out + used, "</ID>\r\n", 7);
      used += 7;
    }
    for (int f = 0; f < layout->fields; ++f) {
      const size_t at = kRecIdSize + (size_t)f * kValueSize;
      const unsigned char* value = record + at;
      size_t n = 0;
      if (at < size) {
        const size_t room = size - at < kValueSize ? size - at : kValueSize;
        const unsigned char* nul = memchr(value, 0, room);
        n = nul ? (size_t)(nul - value) : room;
      }
      if (!layout->xml) {
        if (f) out[used++] = '\t';
        memcpy(out + used, value, n);
        used += n;
        continue;
      }
      char* o = out + used;
      memcpy(o, "  <", 3);
      memcpy(o + 3, layout->names[f], layout->nameLengths[f]);
      o += 3 + layout->nameLengths[f];
      *o++ = '>';
      o = AppendXml(o, value, n);
      memcpy(o, "  </", 4);
      memcpy(o + 4, layout->names[f], layout->nameLengths[f]);
      o += 4 + layout->nameLengths[f];
      memcpy(o, ">\r\n", 3);
      used = (size_t)(o + 3 - out);
    }
    if (layout->xml) {
      memcpy(out + used, " </Record>", 10);
      used += 10;
    }
    out[used++] = '\r';
    out[used++] = '\n';
  }
  fclose(in);
  if (layout->xml) {
    if (used + sizeof kXmlEnd > sizeof out) {
      if (write(fd, out, used) != (ssize_t)used) Fail("cannot write", temp);
      used = 0;
    }
    memcpy(out + used, kXmlEnd, sizeof kXmlEnd - 1);
    used += sizeof kXmlEnd - 1;
  }

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

/* The names separated by tabs in text, which is split in place. */
static void SplitNames(char* text, struct Layout* layout) {
  layout->fields = 0;
  for (char* name = text;;) {
    if (layout->fields == kMaxFields) Fail("too many names in", "NAMES");
    char* tab = strchr(name, '\t');
    layout->names[layout->fields] = name;
    layout->nameLengths[layout->fields] = tab ? (size_t)(tab - name) : strlen(name);
    ++layout->fields;
    if (!tab) break;
    name = tab + 1;
  }
}

int main(int argc, char** argv) {
  struct Layout layout = {0};
  layout.xml = argc > 1 && strcmp(argv[1], "--xml") == 0;
  /* The arguments of one file: DATABASE OUTPUT, or HEAD DATABASE OUTPUT. */
  const int each = layout.xml ? 3 : 2;
  const int first = layout.xml ? 3 : 2;
  if (argc < first + each || (argc - first) % each != 0) {
    fprintf(stderr,
            "usage: plain_convert HEADER DATABASE OUTPUT [DATABASE OUTPUT]...\n"
            "       plain_convert --xml NAMES HEAD DATABASE OUTPUT [HEAD DATABASE OUTPUT]...\n");
    return 2;
  }
  if (layout.xml) {
    MakeXmlTable();
    SplitNames(argv[2], &layout);
    for (int i = first; i + 2 < argc; i += 3) {
      layout.head = argv[i];
      Convert(&layout, argv[i + 1], argv[i + 2]);
    }
    return 0;
  }
  {
    layout.head = argv[1];
    int fields = 1;
    for (const char* c = argv[1]; *c; ++c) fields += *c == '\t';
    layout.fields = fields;
  }
  for (int i = first; i + 1 < argc; i += 2) Convert(&layout, argv[i], argv[i + 1]);
  return 0;
}
