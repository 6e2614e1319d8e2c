// WAV (RIFF, RIFX, RF64) and AIFF headers, read from their bytes: where the
// samples start and what size the header gives them, which libsndfile
// trusts further than a writer into a pipe deserves.
#pragma once

#include <sys/types.h>

struct SoundHeader {
  bool found = false;       // a WAV or AIFF whose sound data chunk was reached
  bool aiff = false;        // an AIFF, else a WAV
  bool big = false;         // the samples are big-endian
  bool raw_ok = false;      // plain samples, which libsndfile can read headerless
  long long data_at = 0;    // where the samples start
  long long data_size = 0;  // the bytes the header gives them
  bool chunk_after = false; // a chunk follows them: their size is true
  long long rate = -1;      // the sample rate it gives, if read
  long long channels = -1;
  long long frame_bytes = 0; // bytes per frame, as the header gives it (WAV)
};

// Reads the header of the file open at `fd`, `size` bytes long.
SoundHeader read_header(int fd, long long size);

// An MP3's stream size, from its first frame's Xing or Info header, and
// where that frame starts (`start`, after an ID3v2 tag); -1 if not given.
long long mpeg_stream_bytes(int fd, long long *start);

// A size that a writer that cannot seek back leaves in place of the real
// one: sox writes 0x7ffff000 bytes into a WAV, 0x7f000000 into an AIFF
// (each less what does not fill a frame), ffmpeg 0xffffffff. Another size
// so near 2 or 4 GiB is taken for one unless a chunk follows the data it
// gives (`chunk_after`).
bool placeholder_size(long long bytes, bool chunk_after);
