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

#include <algorithm>

#include "cli.hpp"
#include "diag.hpp"

namespace {

// libsndfile's view of the file: `length` bytes from `base` (the samples
// alone, for a header that gives no size, or a length it is told to make a
// header show its own count). Where the decoder has read up to is kept, and
// the reason a read failed.
sf_count_t window_length(void *user) { return static_cast<Window *>(user)->length; }
sf_count_t window_seek(sf_count_t offset, int whence, void *user) {
  auto *w = static_cast<Window *>(user);
  w->pos = whence == SEEK_SET ? offset : whence == SEEK_CUR ? w->pos + offset : w->length + offset;
  return w->pos;
}
sf_count_t window_read(void *ptr, sf_count_t count, void *user) {
  auto *w = static_cast<Window *>(user);
  const sf_count_t want = std::min(count, std::max<sf_count_t>(w->length - w->pos, 0));
  ssize_t got;
  while ((got = pread(w->fd, ptr, static_cast<size_t>(want), w->base + w->pos)) < 0 &&
         errno == EINTR) {
  }
  if (got < 0) {
    w->error = errno;
    return 0;
  }
  w->pos += got;
  w->reached = std::max(w->reached, w->pos);
  return got;
}
sf_count_t window_write(const void *, sf_count_t, void *) { return 0; }
sf_count_t window_tell(void *user) { return static_cast<Window *>(user)->pos; }
SF_VIRTUAL_IO window_io{window_length, window_seek, window_read, window_write, window_tell};

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
    if (S_ISDIR(st_.st_mode)) {
      fail(exit_usage, "standard input is a directory; the input must be a sound file");
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
  struct stat now {};
  fstat(fd_, &now);
  size_ = now.st_size;
  header_ = read_header(fd_, size_);
  window_ = {fd_, 0, size_};
  file_ = sf_open_virtual(&window_io, SFM_READ, &info_, &window_);
  if (!file_) {
    const bool none = header_.rate == 0 || header_.channels == 0;
    fail(exit_usage, "cannot read %s as audio: %s", name.c_str(),
         !none               ? sf_strerror(nullptr)
         : header_.rate == 0 ? "its header gives a sample rate of 0"
                             : "its header gives 0 channels");
  }
  check_damage(-1, false);
  find_promise();
  if (placeholder()) {
    read_past_placeholder();
  }
  window_.reached = 0;
  // libsndfile's count is exact for formats that state a length or whose
  // end it can find; an MP3 without a frame count gets an estimate, and an
  // Ogg stream cut short an unknown length (the largest count).
  const bool estimate = (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && promised_ < 0;
  expected_ = info_.frames >= max_samples || estimate ? -1 : info_.frames;
}

// A header whose size is a placeholder promises nothing: the samples run to
// the end of the file, which libsndfile, trusting the size, would not read
// past. Plain samples are then read as such, from where they start to the
// end; a file (not a stream, kept whole) may still have been being written.
void Input::read_past_placeholder() {
  const int bytes = sample_bytes(info_.format);
  const long long frame = static_cast<long long>(bytes) * info_.channels;
  if (!header_.raw_ok || frame == 0 || (header_.frame_bytes && header_.frame_bytes != frame)) {
    return;
  }
  sf_close(file_);
  window_ = {fd_, header_.data_at, std::max(size_ - header_.data_at, 0LL)};
  SF_INFO raw{};
  raw.samplerate = info_.samplerate;
  raw.channels = info_.channels;
  raw.format = SF_FORMAT_RAW | (info_.format & SF_FORMAT_SUBMASK) |
               (header_.big ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
  file_ = sf_open_virtual(&window_io, SFM_READ, &raw, &window_);
  if (!file_) {
    fail(exit_usage, "cannot read %s as audio: %s", name_.c_str(), sf_strerror(nullptr));
  }
  info_ = raw;
  if (S_ISREG(st_.st_mode)) {
    warn("note: %s: its header gives no length (a placeholder, as a writer leaves it that cannot "
         "seek back or has not finished); rendering the %lld frames up to its end as it is now",
         name_.c_str(), static_cast<long long>(raw.frames));
  }
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
    Window padded{fd_, 0, lengths[k]};
    SF_INFO info{};
    SNDFILE *f = sf_open_virtual(&window_io, SFM_READ, &info, &padded);
    if (f) {
      counts[k] = info.frames;
      sf_close(f);
    }
  }
  const long long p = counts[0];
  if (p == counts[1] && p > 0 && p < max_samples && !placeholder()) {
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
  if (got == n) {
    // Read in small blocks, the log is looked at every 1024 frames or so.
    if (frames_ + got - checked_ >= 1024) {
      checked_ = frames_ + got;
      check_damage(checked_, false);
    }
  } else {
    // A failing disk is a failure, and so is damaged data; a decoder that
    // runs out of data (a file cut short) ends the input: what is there is
    // rendered.
    const long long total = frames_ + got;
    if (window_.error) {
      fail(exit_failure, "cannot read %s past sample %lld: %s", name_.c_str(), total,
           strerror(window_.error));
    }
    check_damage(total, true);
    const int error = sf_error(file_);
    ended_ = true;
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
  const long long after = size_ - header_.data_at;
  if (!header_.found || header_.data_size > 0 || after <= 0) {
    return "";
  }
  char text[160];
  snprintf(text, sizeof text,
           ": its header gives the %s chunk a size of 0 bytes, yet %lld bytes follow it "
           "(a writer that stopped before filling in the header?)",
           header_.aiff ? "SSND" : "data", after);
  return text;
}
