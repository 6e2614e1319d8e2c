// The output: chosen by what it is, written whole or not at all where it
// can be.

#include "output.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "diag.hpp"
#include "files.hpp"

namespace {

// A WAV's sizes are 32-bit; past them RF64 carries 64-bit ones. The margin
// covers the header (under a hundred bytes as libsndfile writes it).
constexpr double header_margin = 4096;
constexpr double wav_limit = 4294967295.0;

} // namespace

Output::~Output() {
  if (sound_) {
    sf_close(sound_);
  }
  if (tmp_fd_ >= 0) {
    close(tmp_fd_);
  }
  if (fd_ > STDERR_FILENO) {
    close(fd_);
  }
  if (!tmp_path_.empty()) {
    unlink(tmp_path_.c_str());
  }
}

void Output::open(const std::string &name, const struct stat &input, bool force, int rate,
                  long long frames, bool exact) {
  name_ = name;
  struct stat st {};
  bool exists = true;
  if (name == "-") {
    fd_ = STDOUT_FILENO;
    if (fstat(fd_, &st) != 0) {
      fail(exit_usage, "cannot write standard output: %s", strerror(errno));
    }
  } else if (stat(name.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      fail(exit_usage, "cannot write %s: %s", name.c_str(), strerror(errno));
    }
    exists = false;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    fail(exit_usage, "%s is a directory; the output must be a file", name.c_str());
  }
  if (exists && st.st_dev == input.st_dev && st.st_ino == input.st_ino) {
    fail(exit_usage, "%s is the input file; writing it would destroy the input", name.c_str());
  }
  regular_ = exists && S_ISREG(st.st_mode);
  if (regular_ && name != "-" && !force &&
      ((st.st_mode & 0222) == 0 || access(name.c_str(), W_OK) != 0)) {
    fail(exit_usage, "%s is read-only; pass --force to replace it", name.c_str());
  }
  old_size_ = regular_ ? st.st_size : 0;
  choose(st, exists);
  check_room(frames, exact);

  // A WAV with the extensible header that float data calls for, and no
  // PEAK chunk, whose time stamp would make every render differ. Past 4 GiB,
  // or of a length not known in advance, RF64 that becomes such a WAV if it
  // fits; libsndfile always gives RF64 a PEAK chunk, whose stamp is cleared.
  rf64_ = !exact || static_cast<double>(frames) * 4 + header_margin > wav_limit;
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = (rf64_ ? SF_FORMAT_RF64 : SF_FORMAT_WAVEX) | SF_FORMAT_FLOAT;
  sound_ = sf_open_fd(mode_ == DIRECT ? fd_ : tmp_fd_, SFM_WRITE, &info, SF_FALSE);
  if (!sound_) {
    fail(exit_usage, "cannot write %s: %s", name.c_str(), sf_strerror(nullptr));
  }
  sf_command(sound_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  sf_command(sound_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
}

void Output::choose(const struct stat &st, bool exists) {
  if (fd_ < 0 && (!exists || S_ISREG(st.st_mode))) {
    const std::string target = follow_links(name_);
    const std::string dir = directory_of(target);
    if (exists && st.st_nlink > 1) {
      mode_ = COPY;
      fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) {
        fail(exit_usage, "cannot write %s: %s", name_.c_str(), strerror(errno));
      }
      tmp_fd_ = make_temp(dir, name_, nullptr);
    } else {
      mode_ = REPLACE;
      target_ = target;
      tmp_fd_ = make_temp(dir, name_, &tmp_path_);
    }
    if (tmp_fd_ < 0) {
      fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
           dir.c_str(), strerror(errno));
    }
    if (mode_ == REPLACE) {
      keep_attributes(tmp_fd_, exists ? &st : nullptr, target, name_);
    }
    return;
  }
  if (fd_ < 0) {
    // A FIFO's open waits here for its reader, before the render starts.
    while ((fd_ = ::open(name_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)) < 0 && errno == EINTR) {
      stop_if_interrupted("nothing written");
    }
    if (fd_ < 0) {
      fail(exit_usage, "cannot write %s: %s", name_.c_str(), strerror(errno));
    }
  }
  if (isatty(fd_)) {
    fail(exit_usage, "%s is a terminal; send the sound to a file or a pipe", name_.c_str());
  }
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || lseek(fd_, 0, SEEK_CUR) < 0) {
    mode_ = COPY;
    const char *tmpdir = getenv("TMPDIR");
    const std::string dir = tmpdir && *tmpdir ? tmpdir : "/tmp";
    tmp_fd_ = make_temp(dir, name_, nullptr);
    if (tmp_fd_ < 0) {
      fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
           dir.c_str(), strerror(errno));
    }
  } else {
    mode_ = DIRECT;
  }
}

// An output that cannot fit is refused before anything is rendered; with
// the length not known in advance, a full disk may still be met writing.
void Output::check_room(long long frames, bool exact) {
  const bool output_is_regular = regular_;
  const double bytes = static_cast<double>(frames) * 4 + header_margin;
  const bool rf64 = bytes > wav_limit;
  if (mode_ != DIRECT || output_is_regular) {
    // Copied into a regular file, the file grows beside the render.
    const double growth =
        mode_ == COPY && output_is_regular ? std::max(0.0, bytes - double(old_size_)) : 0.0;
    ::check_room(mode_ == DIRECT ? fd_ : tmp_fd_, bytes, growth,
                 rf64 ? "RF64 (a WAV past 4 GiB)" : "WAV", name_);
  }
  if (rf64 && exact) {
    warn("note: the output takes %s, more than a WAV can hold; writing RF64",
         size_text(bytes).c_str());
  }
}

void Output::write(const float *samples, long long n) {
  if (n > 0 && sf_writef_float(sound_, samples, n) != n) {
    write_failed(errno);
  }
}

std::string Output::left() const {
  if (mode_ == DIRECT) {
    return name_ + " is incomplete";
  }
  if (!copying_) {
    return name_ + (regular_ ? " left as it was" : " not written");
  }
  return regular_ ? name_ + " and its other hard links now hold an incomplete file"
                  : name_ + " got an incomplete WAV";
}

void Output::write_failed(int error) {
  const char *why = error == EFBIG    ? "over the size allowed for a file (ulimit -f)"
                    : error == ENOSPC ? "its file system is full"
                    : sound_          ? sf_strerror(sound_)
                                      : strerror(error);
  fail(exit_failure, "cannot write %s: %s; %s", name_.c_str(), why, left().c_str());
}

void Output::finish() {
  errno = 0;
  const int closed = sf_close(sound_);
  sound_ = nullptr;
  if (closed != 0) {
    write_failed(errno ? errno : EIO);
  }
  if (rf64_) {
    clear_peak_stamp(mode_ == DIRECT ? fd_ : tmp_fd_);
  }
  if (mode_ == REPLACE) {
    if (rename(tmp_path_.c_str(), target_.c_str()) != 0) {
      write_failed(errno);
    }
    tmp_path_.clear();
  } else if (mode_ == COPY) {
    copy_out();
  }
}

// Copies the finished render into the output itself. Into a regular file
// (hard links) under a lock, so two renders never mix, and with its blocks
// reserved first, so a full disk leaves it as it was.
void Output::copy_out() {
  const off_t size = lseek(tmp_fd_, 0, SEEK_END);
  if (regular_) {
    lock_output(fd_, name_);
    if (size > 0 && fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
        (errno == ENOSPC || errno == EDQUOT)) {
      write_failed(errno);
    }
    lseek(fd_, 0, SEEK_SET);
  }
  if (size < 0 || lseek(tmp_fd_, 0, SEEK_SET) != 0) {
    write_failed(errno);
  }
  copying_ = true;
  std::vector<char> buf(1 << 20);
  for (;;) {
    stop_if_interrupted(left());
    const ssize_t got = read(tmp_fd_, buf.data(), buf.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      write_failed(errno);
    }
    if (got == 0) {
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(fd_, buf.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) {
        stop_if_interrupted(left());
      } else if (put < 0) {
        write_failed(errno);
      }
      done += std::max<ssize_t>(put, 0);
    }
  }
  if (regular_ && ftruncate(fd_, size) != 0) {
    write_failed(errno);
  }
}
