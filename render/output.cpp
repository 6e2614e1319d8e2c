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

// Whether the user may give a file of theirs the owner and group of `st`:
// root may; others only their own, and a group they are in.
bool may_give(const struct stat &st) {
  if (geteuid() == 0) {
    return true;
  }
  if (st.st_uid != geteuid()) {
    return false;
  }
  if (st.st_gid == getegid()) {
    return true;
  }
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int n = getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), st.st_gid) !=
         groups.begin() + std::max(n, 0);
}

std::string temp_dir() {
  const char *tmpdir = getenv("TMPDIR");
  return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

} // namespace

Output::~Output() {
  if (sound_) {
    sf_close(sound_);
  }
  for (const int fd : {tmp_fd_, keep_fd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  if (fd_ > STDERR_FILENO) {
    close(fd_);
  }
  // Removed from its folder wherever that is now, even moved.
  if (!tmp_path_.empty()) {
    unlinkat(dir_fd_, tmp_path_.c_str(), 0);
  }
  if (dir_fd_ >= 0) {
    close(dir_fd_);
  }
}

void Output::open(const std::string &name, const struct stat &input, bool force, int rate,
                  int channels, long long frames, bool exact) {
  name_ = name;
  rate_ = rate;
  channels_ = channels;
  struct stat st {};
  bool exists = true;
  if (name == "-") {
    if (closed_at_start[STDOUT_FILENO]) {
      fail(exit_usage, "standard output is closed; name an OUTPUT file instead of -");
    }
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
  old_size_ = regular_ ? st.st_size : 0;
  choose(st, exists, force);
  check_room(frames, exact);

  if (exact) {
    sound_ = open_wav(mode_ == DIRECT ? fd_ : tmp_fd_, frames);
    return;
  }
  // The length is not known: the samples wait, headerless, beside where
  // the WAV goes.
  const std::string dir = mode_ == DIRECT || mode_ == STREAM ? temp_dir() : directory_of(target_);
  keep_fd_ = make_temp(dir, name_, nullptr);
  if (keep_fd_ < 0 && dir != temp_dir()) {
    keep_fd_ = make_temp(temp_dir(), name_, nullptr);
  }
  if (keep_fd_ < 0) {
    fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name.c_str(), dir.c_str(),
         strerror(errno));
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
  sound_ = sf_open_fd(keep_fd_, SFM_WRITE, &info, SF_FALSE);
  if (!sound_) {
    fail(exit_usage, "cannot write %s: %s", name.c_str(), sf_strerror(nullptr));
  }
}

// A WAV with the extensible header that float data calls for, and no PEAK
// chunk, whose time stamp would make every render differ; past 4 GiB, RF64,
// which libsndfile always gives a PEAK chunk, whose stamp is cleared at the
// end.
SNDFILE *Output::open_wav(int fd, long long frames) {
  const double bytes = static_cast<double>(frames) * 4 * channels_ + header_margin;
  SF_INFO info{};
  info.samplerate = rate_;
  info.channels = channels_;
  info.format = (bytes > wav_limit ? SF_FORMAT_RF64 : SF_FORMAT_WAVEX) | SF_FORMAT_FLOAT;
  errno = 0;
  SNDFILE *sound = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  if (!sound) {
    // Writing the header met a full device: a failure to write, as later.
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EIO || errno == EPIPE) {
      write_failed(errno);
    }
    fail(exit_usage, "cannot write %s: %s", name_.c_str(),
         errno ? strerror(errno) : sf_strerror(nullptr));
  }
  sf_command(sound, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  sf_command(sound, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  return sound;
}

// Whether the user may write `st` (found at `name`); if not, why, and
// whether --force can help.
void Output::check_writable(const struct stat &st, bool force) {
  const std::string target = follow_links(name_);
  const bool writable =
      faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 && (st.st_mode & 0222) != 0;
  const int why = writable ? 0 : (st.st_mode & 0222) == 0 ? EACCES : errno;
  if (why == EROFS) {
    fail(exit_usage, "cannot write %s: its file system is mounted read-only", name_.c_str());
  }
  const std::string blocker = why_not_replaceable(target, st);
  if (!writable && !blocker.empty()) {
    fail(exit_usage, "cannot replace %s: %s", name_.c_str(), blocker.c_str());
  }
  if (!writable && !force) {
    fail(exit_usage, "%s is read-only; pass --force to replace it", name_.c_str());
  }
  const std::string dir = directory_of(target);
  if (!writable && faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    fail(exit_usage, "cannot replace %s: it is read-only, and so is its folder %s (%s)",
         name_.c_str(), dir.c_str(), strerror(errno));
  }
}

void Output::choose(const struct stat &st, bool exists, bool force) {
  if (fd_ < 0 && (!exists || S_ISREG(st.st_mode))) {
    const std::string target = follow_links(name_);
    const std::string dir = directory_of(target);
    if (exists) {
      check_writable(st, force);
      const bool writable =
          faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 && (st.st_mode & 0222) != 0;
      // Renaming a file over it would cut its other hard links off, or
      // change its owner or group where the user may not set them back.
      linked_ = st.st_nlink > 1;
      if (linked_ || (writable && !may_give(st))) {
        in_place(target, dir);
        return;
      }
      const std::string blocker = why_not_replaceable(target, st);
      if (!blocker.empty()) {
        fail(exit_usage, "cannot replace %s: %s", name_.c_str(), blocker.c_str());
      }
    }
    mode_ = REPLACE;
    target_ = target;
    // Held open to rename in, to sync and to clean up, wherever it moves.
    dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) {
      dir_fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); // a folder not readable
    }
    tmp_fd_ = dir_fd_ < 0 ? -1 : make_temp(dir, name_, &tmp_path_, exists ? 0600 : 0666, dir_fd_);
    if (tmp_fd_ < 0 && exists && (errno == EACCES || errno == EPERM) &&
        faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0) {
      in_place(target, dir); // a file the user may write, in a folder they may not
      return;
    }
    if (tmp_fd_ < 0) {
      fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
           dir.c_str(), strerror(errno));
    }
    if (exists && !keep_attributes(tmp_fd_, st, target, name_) && st.st_uid != geteuid()) {
      // Forced over another user's read-only file: it becomes the caller's,
      // and stays read-only.
      fchmod(tmp_fd_, st.st_mode & 07777 & ~0222);
      warn("note: %s will be yours: only root can give a file to another user", name_.c_str());
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
  // Standard output that appends (>>) or stands past the start of a file
  // gets the finished WAV where it stands, as a pipe would: written in
  // place, its header would land elsewhere than at the start. So does one
  // that holds something (1<>), which is cut after the WAV at the end.
  const int flags = fcntl(fd_, F_GETFL);
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || at < 0 ||
      (regular_ && (at != 0 || st.st_size > 0 || (flags >= 0 && (flags & O_APPEND))))) {
    mode_ = STREAM;
    tmp_fd_ = make_temp(temp_dir(), name_, nullptr);
    if (tmp_fd_ < 0) {
      fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
           temp_dir().c_str(), strerror(errno));
    }
  } else {
    mode_ = DIRECT;
  }
}

// Renders beside the file (or in $TMPDIR if its folder is closed to the
// user), to be copied into it at the end.
void Output::in_place(const std::string &target, const std::string &dir) {
  mode_ = INPLACE;
  target_ = target; // samples of unknown length wait beside it
  fd_ = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0 && errno == EACCES && linked_) {
    fail(exit_usage,
         "cannot write %s: it is read-only, and has other hard links, which a new file in its "
         "place would cut off",
         name_.c_str());
  }
  if (fd_ < 0) {
    fail(exit_usage, "cannot write %s: %s", name_.c_str(), strerror(errno));
  }
  tmp_fd_ = make_temp(dir, name_, nullptr);
  if (tmp_fd_ < 0) {
    tmp_fd_ = make_temp(temp_dir(), name_, nullptr);
  }
  if (tmp_fd_ < 0) {
    fail(exit_usage, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
         temp_dir().c_str(), strerror(errno));
  }
}

// An output that cannot fit is refused before anything is rendered; with
// the length not known in advance, a full disk may still be met writing.
void Output::check_room(long long frames, bool exact) {
  const double bytes = static_cast<double>(frames) * 4 * channels_ + header_margin;
  const bool rf64 = bytes > wav_limit;
  if (mode_ != DIRECT || regular_) {
    // Copied into a regular file, the file grows beside the render.
    const double growth =
        mode_ == INPLACE ? std::max(0.0, bytes - static_cast<double>(old_size_)) : 0.0;
    ::check_room(mode_ == DIRECT ? fd_ : tmp_fd_, bytes, growth,
                 rf64 ? "RF64 (a WAV past 4 GiB)" : "WAV", name_);
  }
  if (rf64 && exact) {
    warn("note: the output takes %s, more than a WAV can hold; writing RF64",
         size_text(bytes).c_str());
  }
}

void Output::write(const float *frames, long long n) {
  errno = 0;
  if (n > 0 && sf_writef_float(sound_, frames, n) != n) {
    write_failed(errno);
  }
  written_ += n;
}

std::string Output::left() const {
  if (mode_ == DIRECT) {
    return name_ + " is incomplete";
  }
  if (!copying_) {
    return name_ + (regular_ && mode_ != STREAM ? " left as it was" : " not written");
  }
  if (mode_ == INPLACE) {
    return name_ + (linked_ ? " and its other hard links now hold" : " now holds") +
           " an incomplete file";
  }
  return name_ + " got an incomplete WAV";
}

void Output::write_failed(int error) {
  const char *why = error == EFBIG ? "over the size allowed for a file (ulimit -f)"
                    : error == ENOSPC
                        ? (regular_ || mode_ != DIRECT ? "its file system is full"
                                                       : "no space left on the device")
                    : error == EDQUOT ? "over the disk quota"
                    : error == EPIPE  ? "the reader closed the pipe"
                    : error           ? strerror(error)
                    : sound_          ? sf_strerror(sound_)
                                      : strerror(EIO);
  fail(exit_failure, "cannot write %s: %s; %s", name_.c_str(), why, left().c_str());
}
