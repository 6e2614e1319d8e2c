// WAV and AIFF headers, read from their bytes.

#include "header.hpp"

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>

namespace {

uint32_t u32(const unsigned char *b, bool big) {
  return big ? static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]
             : static_cast<uint32_t>(b[3]) << 24 | b[2] << 16 | b[1] << 8 | b[0];
}
unsigned u16(const unsigned char *b, bool big) {
  return big ? static_cast<unsigned>(b[0] << 8 | b[1]) : static_cast<unsigned>(b[1] << 8 | b[0]);
}

// The whole part of an 80-bit extended float, as AIFF gives its rate.
long long extended(const unsigned char *b) {
  const int exponent = ((b[0] & 0x7f) << 8 | b[1]) - 16383;
  uint64_t mantissa = 0;
  for (int i = 2; i < 10; ++i) {
    mantissa = mantissa << 8 | b[i];
  }
  if (mantissa == 0 || exponent < 0) {
    return 0;
  }
  return exponent > 62 ? INT64_MAX : static_cast<long long>(mantissa >> (63 - exponent));
}

bool is(const unsigned char *b, const char *id) { return memcmp(b, id, 4) == 0; }

// Whether a chunk (a name of four printable characters and a size that
// fits) starts at `at`, where the data given by a true size ends.
bool chunk_at(int fd, long long at, long long size, bool big) {
  unsigned char b[8];
  if (at + 8 > size || pread(fd, b, 8, at) != 8) {
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (b[i] < 0x20 || b[i] > 0x7e) {
      return false;
    }
  }
  return at + 8 + u32(b + 4, big) <= size;
}

} // namespace

SoundHeader read_header(int fd, long long size) {
  SoundHeader h;
  unsigned char b[40];
  if (pread(fd, b, 12, 0) != 12) {
    return h;
  }
  const bool wav = (is(b, "RIFF") || is(b, "RIFX") || is(b, "RF64")) && is(b + 8, "WAVE");
  const bool aifc = is(b, "FORM") && is(b + 8, "AIFC");
  if (!wav && !aifc && !(is(b, "FORM") && is(b + 8, "AIFF"))) {
    return h;
  }
  const bool big = !wav || is(b, "RIFX"); // the byte order of the chunk sizes
  h.aiff = !wav;
  h.big = big;
  h.raw_ok = true;
  long long ds64 = -1; // RF64: the data size, which its data chunk leaves out
  for (long long at = 12, chunks = 0; chunks < 4096 && at + 8 <= size; ++chunks) {
    if (pread(fd, b, 8, at) != 8) {
      break;
    }
    const long long n = u32(b + 4, big), body = at + 8;
    if (wav && is(b, "ds64") && pread(fd, b + 8, 16, body) == 16) {
      ds64 = static_cast<long long>(u32(b + 16, false)) | static_cast<long long>(u32(b + 20, false))
                                                              << 32;
    } else if (wav && is(b, "fmt ") && pread(fd, b + 8, 16, body) == 16) {
      // PCM, float, A-law, mu-law, or the extensible header's PCM or float.
      const unsigned tag = u16(b + 8, big);
      h.raw_ok = tag == 1 || tag == 3 || tag == 6 || tag == 7 || tag == 0xfffe;
      h.channels = u16(b + 10, big);
      h.rate = u32(b + 12, big);
      h.frame_bytes = u16(b + 20, big);
    } else if (!wav && is(b, "COMM") && pread(fd, b + 8, 22, body) >= 18) {
      h.channels = u16(b + 8, true);
      h.rate = extended(b + 16);
      if (aifc && n >= 22) {
        const unsigned char *c = b + 26; // the compression type
        h.raw_ok = false;
        for (const char *id : {"NONE", "twos", "sowt", "fl32", "FL32", "fl64", "FL64", "ulaw",
                               "ULAW", "alaw", "ALAW"}) {
          h.raw_ok = h.raw_ok || is(c, id);
        }
        h.big = !is(c, "sowt");
      }
    } else if (wav && is(b, "data")) {
      h.found = true;
      h.data_at = body;
      h.data_size = n == 0xffffffff && ds64 >= 0 ? ds64 : n;
      h.chunk_after = chunk_at(fd, body + h.data_size + (h.data_size & 1), size, big);
      return h;
    } else if (!wav && is(b, "SSND") && pread(fd, b + 8, 8, body) == 8) {
      // The sound data chunk begins with an offset and a block size.
      const long long offset = u32(b + 8, true);
      h.found = true;
      h.data_at = body + 8 + offset;
      h.data_size = n - 8 - offset;
      h.chunk_after = chunk_at(fd, body + n + (n & 1), size, big);
      return h;
    }
    at = body + n + (n & 1);
  }
  return h;
}

long long mpeg_stream_bytes(int fd, long long *start) {
  unsigned char b[4096];
  long long at = 0;
  if (pread(fd, b, 10, 0) == 10 && memcmp(b, "ID3", 3) == 0) {
    // An ID3v2 tag first: its size in seven bits a byte, then a footer?
    at = 10 + (b[6] << 21 | b[7] << 14 | b[8] << 7 | b[9]) + (b[5] & 0x10 ? 10 : 0);
  }
  const ssize_t n = pread(fd, b, sizeof b, at);
  if (n < 4 || b[0] != 0xff || (b[1] & 0xe0) != 0xe0) {
    return -1;
  }
  // The first frame's Xing or Info header: flags, then the frame count and
  // the byte count where the flags say they are there.
  for (ssize_t i = 4; i + 16 <= n && i < 200; ++i) {
    if (is(b + i, "Xing") || is(b + i, "Info")) {
      const uint32_t flags = u32(b + i + 4, true);
      const ssize_t bytes = i + 8 + (flags & 1 ? 4 : 0);
      if (!(flags & 2) || bytes + 4 > n) {
        return -1;
      }
      *start = at;
      return u32(b + bytes, true);
    }
  }
  return -1;
}

bool placeholder_size(long long bytes, bool chunk_after) {
  // The writers' own values, less what does not fill a frame (sox gives an
  // AIFF of 24-bit stereo 0x7efffffc bytes), are placeholders whatever
  // follows them: the samples past one may look like a chunk.
  for (const long long known : {0x7ffff000LL, 0x7f000000LL, 0x7fffffffLL, 0xffffffffLL}) {
    if (known - bytes >= 0 && known - bytes < 4096) {
      return true;
    }
  }
  return !chunk_after && ((bytes >= 0x7f000000LL - 4096 && bytes <= 0x80000000LL) ||
                          (bytes >= 0xffff0000LL && bytes <= 0x100000000LL));
}
