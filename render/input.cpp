// The input: a sound file, or standard input, read as a stream until the
// decoder stops.

#include "input.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cli.hpp"
#include "diag.hpp"

namespace {

// libsndfile's view of a file that claims to be far longer than it is.
struct PaddedFile {
  int fd;
  sf_count_t length;
  sf_count_t pos;
};
sf_count_t padded_length(void *user) { return static_cast<PaddedFile *>(user)->length; }
sf_count_t padded_seek(sf_count_t offset, int whence, void *user) {
  auto *f = static_cast<PaddedFile *>(user);
  f->pos = whence == SEEK_SET ? offset : whence == SEEK_CUR ? f->pos + offset : f->length + offset;
  return f->pos;
}
sf_count_t padded_read(void *ptr, sf_count_t count, void *user) {
  auto *f = static_cast<PaddedFile *>(user);
  const ssize_t got = pread(f->fd, ptr, static_cast<size_t>(count), f->pos);
  f->pos += got > 0 ? got : 0;
  return got < 0 ? 0 : got;
}
sf_count_t padded_write(const void *, sf_count_t, void *) { return 0; }
sf_count_t padded_tell(void *user) { return static_cast<PaddedFile *>(user)->pos; }

// Bytes per sample of the formats whose headers state a data size.
int sample_bytes(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
  case SF_FORMAT_PCM_S8:
  case SF_FORMAT_PCM_U8:
  case SF_FORMAT_ULAW:
  case SF_FORMAT_ALAW: return 1;
  case SF_FORMAT_PCM_16: return 2;
  case SF_FORMAT_PCM_24: return 3;
  case SF_FORMAT_PCM_32:
  case SF_FORMAT_FLOAT: return 4;
  case SF_FORMAT_DOUBLE: return 8;
  default: return 0;
  }
}

// A writer that cannot seek back (sox or ffmpeg into a pipe) puts a size
// just under 2 or 4 GiB in the header as a placeholder.
bool placeholder(long long frames, const SF_INFO &info) {
  const long long bytes = frames * info.channels * sample_bytes(info.format);
  const long long near = 1 << 16;
  return bytes > 0 && ((bytes > (1LL << 31) - near && bytes <= 1LL << 31) ||
                       (bytes > (1LL << 32) - near && bytes <= 1LL << 32));
}

} // namespace

Input::~Input() {
  if (file_) {
    sf_close(file_);
  }
  if (fd_ > STDIN_FILENO) {
    close(fd_);
  }
}

void Input::open(const std::string &name) {
  name_ = name;
  if (name == "-") {
    if (closed_at_start[STDIN_FILENO]) {
      fail(exit_usage, "standard input is closed; nothing to read");
    }
    fd_ = STDIN_FILENO;
    if (fstat(fd_, &st_) != 0) {
      fail(exit_usage, "cannot read standard input: %s", strerror(errno));
    }
  } else {
    if (stat(name.c_str(), &st_) != 0) {
      fail(exit_usage, "cannot open %s: %s", name.c_str(), strerror(errno));
    }
    if (S_ISDIR(st_.st_mode)) {
      fail(exit_usage, "%s is a directory; the input must be a sound file", name.c_str());
    }
    // A FIFO's open waits here for its writer.
    while ((fd_ = ::open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0 && errno == EINTR) {
      stop_if_interrupted("nothing written");
    }
    if (fd_ < 0) {
      fail(exit_usage, "cannot open %s: %s", name.c_str(), strerror(errno));
    }
  }
  if (isatty(fd_)) {
    fail(exit_usage, "%s is a terminal; send a sound into it from a file or a pipe", name.c_str());
  }
  if (!S_ISREG(st_.st_mode)) {
    keep_stream();
  }
  file_ = sf_open_fd(fd_, SFM_READ, &info_, SF_FALSE);
  if (!file_) {
    fail(exit_usage, "cannot read %s as audio: %s", name.c_str(), sf_strerror(nullptr));
  }
  find_promise();
  // libsndfile's count is exact for formats that state a length or whose
  // end it can find; an MP3 without a frame count gets an estimate, and an
  // Ogg stream cut short an unknown length (the largest count).
  const bool estimate = (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && promised_ < 0;
  expected_ = info_.frames >= max_samples || estimate ? -1 : info_.frames;
}

void Input::fit(int inputs, bool downmix) {
  const int channels = info_.channels;
  if (channels == inputs) {
    return;
  }
  if (inputs == 1 && !downmix) {
    fail(exit_usage,
         "%s has %d channels; the plugin is mono. Pass --downmix to render the average of the "
         "channels",
         name_.c_str(), channels);
  }
  if (inputs != 1) {
    fail(exit_usage, "%s has %d channel%s; the plugin takes %d (its audio inputs)%s", name_.c_str(),
         channels, channels == 1 ? "" : "s", inputs,
         downmix ? "; --downmix only averages channels for a mono plugin" : "");
  }
  downmix_ = true;
}

// Copies what cannot seek into an unnamed file in $TMPDIR, to its end.
void Input::keep_stream() {
  const char *tmpdir = getenv("TMPDIR");
  const std::string dir = tmpdir && *tmpdir ? tmpdir : "/tmp";
  int tmp = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (tmp < 0) {
    std::string path = dir + "/.quorvane-render.XXXXXX";
    tmp = mkostemp(path.data(), O_CLOEXEC);
    if (tmp >= 0) {
      unlink(path.c_str());
    }
  }
  if (tmp < 0) {
    fail(exit_usage, "cannot read %s: cannot create a file in %s: %s", name_.c_str(), dir.c_str(),
         strerror(errno));
  }
  std::vector<char> buf(1 << 16);
  for (;;) {
    stop_if_interrupted("nothing written");
    const ssize_t got = ::read(fd_, buf.data(), buf.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      close(tmp);
      fail(exit_failure, "cannot read %s: %s", name_.c_str(), strerror(errno));
    }
    if (got == 0) {
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(tmp, buf.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno != EINTR) {
        close(tmp);
        fail(exit_failure, "cannot read %s: keeping it in %s: %s", name_.c_str(), dir.c_str(),
             strerror(errno));
      }
      done += put > 0 ? put : 0;
    }
  }
  if (fd_ > STDIN_FILENO) {
    close(fd_);
  }
  fd_ = tmp;
  lseek(fd_, 0, SEEK_SET);
}

// The number of frames the file's header promises, if it states one.
// libsndfile trims a header's count to what the file holds; told that the
// file is far longer than it is, it reports the header's own count. A count
// worked out from the file's length differs for each length it is told, and
// is no promise; nor is a writer's placeholder.
void Input::find_promise() {
  long long counts[2] = {-1, -2};
  const sf_count_t lengths[2] = {sf_count_t{1} << 40, sf_count_t{1} << 41};
  for (int k = 0; k < 2; ++k) {
    PaddedFile padded{fd_, lengths[k], 0};
    SF_VIRTUAL_IO io{padded_length, padded_seek, padded_read, padded_write, padded_tell};
    SF_INFO info{};
    SNDFILE *f = sf_open_virtual(&io, SFM_READ, &info, &padded);
    if (f) {
      counts[k] = info.frames;
      sf_close(f);
    }
  }
  const long long p = counts[0];
  if (p == counts[1] && p > 0 && p < max_samples && !placeholder(p, info_)) {
    promised_ = p;
  }
}

long long Input::read(float *to, long stride, long long n) {
  if (ended_ || n <= 0) {
    return 0;
  }
  const int channels = info_.channels;
  raw_.resize(static_cast<size_t>(n * channels));
  const sf_count_t got = sf_readf_float(file_, raw_.data(), n);
  if (got < n) {
    // A failing disk is a failure; a decoder that runs out of data (a file
    // cut short) ends the input: what is there is rendered.
    const int error = sf_error(file_);
    if (error == SF_ERR_SYSTEM) {
      fail(exit_failure, "cannot read %s past sample %lld: %s", name_.c_str(), frames_ + got,
           sf_strerror(file_));
    }
    ended_ = true;
    const long long total = frames_ + got;
    if (promised_ > total) {
      warn("warning: %s is cut short: its header promises %lld frames, the file holds %lld%s%s%s; "
           "rendering those",
           name_.c_str(), promised_, total, error ? " (" : "", error ? sf_strerror(file_) : "",
           error ? ")" : "");
    } else if (error) {
      warn("warning: %s: decoding stopped after %lld frames (%s); rendering those", name_.c_str(),
           total, sf_strerror(file_));
    } else if (total == 0) {
      warn("warning: %s holds no samples%s", name_.c_str(), why_empty().c_str());
    }
  }
  if (downmix_) {
    for (long long i = 0; i < got; ++i) {
      float sum = 0.0f;
      for (int c = 0; c < channels; ++c) {
        sum += raw_[i * channels + c];
      }
      to[i] = sum / static_cast<float>(channels);
    }
  } else {
    for (long long i = 0; i < got; ++i) {
      for (int c = 0; c < channels; ++c) {
        to[c * stride + i] = raw_[i * channels + c];
      }
    }
  }
  frames_ += got;
  return got;
}

// Why a file holds no samples, if its header says so though data follows:
// a WAV (RIFF, RIFX or RF64) or AIFF whose data chunk states a size of 0, as
// a writer leaves it that stopped before it could fill it in.
std::string Input::why_empty() const {
  unsigned char head[4096];
  const ssize_t n = pread(fd_, head, sizeof head, 0);
  const bool wav = n >= 12 && memcmp(head + 8, "WAVE", 4) == 0 &&
                   (memcmp(head, "RIFF", 4) == 0 || memcmp(head, "RIFX", 4) == 0 ||
                    memcmp(head, "RF64", 4) == 0);
  const bool aiff = n >= 12 && memcmp(head, "FORM", 4) == 0 &&
                    (memcmp(head + 8, "AIFF", 4) == 0 || memcmp(head + 8, "AIFC", 4) == 0);
  if (!wav && !aiff) {
    return "";
  }
  const bool big = aiff || memcmp(head, "RIFX", 4) == 0;
  // An AIFF's sound data chunk begins with an offset and a block size.
  const char *data = wav ? "data" : "SSND";
  const ssize_t skip = wav ? 8 : 16;
  for (ssize_t at = 12; at + 8 <= n;) {
    const unsigned char *b = head + at + 4;
    const uint32_t size = big ? static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]
                              : static_cast<uint32_t>(b[3]) << 24 | b[2] << 16 | b[1] << 8 | b[0];
    if (memcmp(head + at, data, 4) == 0) {
      struct stat st;
      const long long after = fstat(fd_, &st) == 0 ? st.st_size - (at + skip) : 0;
      if (size > static_cast<uint32_t>(skip - 8) || after <= 0) {
        return "";
      }
      char text[160];
      snprintf(text, sizeof text,
               ": its header gives the %s chunk a size of %u bytes, yet %lld bytes follow it "
               "(a writer that stopped before filling in the header?)",
               data, size, after);
      return text;
    }
    at += 8 + static_cast<ssize_t>(size) + (size & 1);
  }
  return "";
}
